// qrvxScheck preflight: a dry run of qrvxSuninstall, for an admin to try a package on a machine before it is
// deployed. It reads qrvxconfig.ini beside it and asks the management server what the run would ask, with
// the run's own code and bounds, and looks at the service; it posts no message, touches no service, and
// writes no record, no event and no file. It prints a line for each of these, then the status the launcher
// would give if it ran now and why, and exits with that status.
#pragma once

int RunPreflight();
