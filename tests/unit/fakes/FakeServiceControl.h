// A scripted Service Control Manager with at most one service, recording every call made to it. It answers
// as Windows does where Wine's differs: a stop request is refused while the service starts, a control waits
// for a busy handler up to the time-out, and a failed control fills the status record only for the errors
// that Windows documents as filling it.
//
// Every successful call clears the thread's last error, as some real ones do: a code read from GetLastError
// after the fact then comes back as 0, which is what the error handling has to survive.
#pragma once

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Win32.h"

namespace fake {

enum class ScOp { OpenManager, OpenService, Control, Query, ChangeConfig, Delete, Close };

struct ScCall {
    ScOp op = ScOp::OpenManager;
    SC_HANDLE handle = nullptr;  // the handle acted on, or the one an open returned (null when it failed)
    SC_HANDLE manager = nullptr;
    std::string name;
    DWORD access = 0;
    DWORD control = 0;
    bool failed = false;
    DWORD error = 0;
};

// What one look at the service's status (QueryServiceStatus) answers: the state the manager holds for it,
// which it is then in, or the error the look fails with, the record left alone.
struct ScAnswer {
    DWORD state = SERVICE_RUNNING;
    DWORD error = ERROR_SUCCESS;
};

struct ServiceControl {
    std::string serviceName = "QUORVEX$TARNIKE";
    bool installed = true;
    DWORD state = SERVICE_STOPPED;  // answers the looks that `answers` does not script
    std::deque<ScAnswer> answers;
    ULONGLONG lookMs = 0;       // how far each look moves the clock
    int managerOpensLeft = -1;  // how many OpenSCManagerA calls still succeed; -1 for all
    DWORD managerOpenError = ERROR_ACCESS_DENIED;
    DWORD openServiceError = ERROR_SUCCESS;
    DWORD stopError = ERROR_SUCCESS;  // what the stop request fails with, whatever the state; 0: as Windows
    DWORD stopFailState = 0;  // what a failing stop request leaves in the record, where Windows fills it
    // The handler is busy: every control waits out the control time-out on the clock, then fails with 1053.
    bool handlerBusy = false;
    ULONGLONG controlTimeoutMs = 30000;  // ServicesPipeTimeout's default
    DWORD configError = ERROR_SUCCESS;   // what ChangeServiceConfigA fails with, as for a service marked for
                                         // deletion (1072)
    DWORD deleteError = ERROR_SUCCESS;
    bool vanishesOnStop = false;  // gone as soon as it has accepted the stop
    int opensUntilGone = -1;      // how many OpenServiceA calls still find it; -1 for all

    std::vector<ScCall> calls;
    std::vector<ULONGLONG> lookTicks;  // the clock as each look began
    std::set<SC_HANDLE> openHandles;
    std::map<SC_HANDLE, SC_HANDLE> managerOf;
    std::vector<std::string> misuse;  // a manager closed before its service, a handle closed twice
    bool deleted = false;             // and gone, no longer installed, once its last handle is closed
    unsigned handlesIssued = 0;
};

extern ServiceControl scm;
void ResetServiceControl();

// One line per call, handles named M1, S2, ... in the order they were opened.
std::vector<std::string> ScTrace();
int CountControls(DWORD control);

}  // namespace fake
