// qrvxScheck: whether the Quorvex service is still installed, told by the exit status alone, for the
// launcher that deployment tools run:
//   0     the Service Control Manager knows no such service (ERROR_SERVICE_DOES_NOT_EXIST);
//   3010  it is marked for deletion and stopped, but still held open elsewhere: it goes at the next restart
//         if not before (ERROR_SUCCESS_REBOOT_REQUIRED, which deployment tools count as success);
//   1603  it is still installed, or the manager could not say: a failure is never taken for success.
// sc.exe cannot stand in for this: its exit status for a missing service differs between Windows and
// other implementations of it, and it is the same for a failed query.
#include "check/InstallCheck.h"

int main() {
    return CheckInstalled();
}
