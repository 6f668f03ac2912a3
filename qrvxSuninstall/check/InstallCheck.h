// Whether the Quorvex service is still installed: the half of the launcher's verdict that the Service Control
// Manager tells (Verdict.h).
#pragma once

#include "platform/Win32.h"

// Gives a service that is going a few seconds to go, then the exit status for what the Service Control
// Manager says of it: 0 gone, 3010 marked for deletion and stopped but still held open elsewhere
// (ERROR_SUCCESS_REBOOT_REQUIRED: gone at the next restart), 1603 anything else, a failed query included
// (ERROR_INSTALL_FAILURE: a failure is never taken for success).
int CheckInstalled();

// What a run would find of the service now: it is opened with the rights that the run opens it with, looked
// at, and left as it is.
struct ServiceLook {
    enum Found {
        kAbsent,
        kInstalled,
        kMarkedForDeletion,  // it goes once no program holds it open, at the latest at the next restart
        kNotOpened,          // the manager or the service would not open, or the look failed: see `error`
    } found;
    DWORD state;  // of one installed, or marked and still there
    DWORD error;
};
ServiceLook LookAtService();
