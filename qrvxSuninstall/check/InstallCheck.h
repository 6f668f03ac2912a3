// Whether the Quorvex service is still installed: the half of the launcher's verdict that the Service Control
// Manager tells (Verdict.h).
#pragma once

// Gives a service that is going a few seconds to go, then the exit status for what the Service Control
// Manager says of it: 0 gone, 3010 marked for deletion and stopped but still held open elsewhere
// (ERROR_SUCCESS_REBOOT_REQUIRED: gone at the next restart), 1603 anything else, a failed query included
// (ERROR_INSTALL_FAILURE: a failure is never taken for success).
int CheckInstalled();
