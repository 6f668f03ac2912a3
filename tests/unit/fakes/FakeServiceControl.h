// A scripted Service Control Manager with at most one service, recording every call made to it.
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

enum class ScOp { OpenManager, OpenService, Control, Delete, Close };

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

// What one interrogation answers: a state, or the error the control fails with. With 1061 (starting or
// stopping) the record is filled all the same, as Windows does; with any other error it is left alone.
struct ScAnswer {
    DWORD state = SERVICE_RUNNING;
    DWORD error = ERROR_SUCCESS;
};

struct ServiceControl {
    std::string serviceName = "QUORVEX$TARNIKE";
    bool installed = true;
    DWORD state = SERVICE_STOPPED;  // answers the interrogations that `answers` does not script
    std::deque<ScAnswer> answers;
    int managerOpensLeft = -1;  // how many OpenSCManagerA calls still succeed; -1 for all
    DWORD managerOpenError = ERROR_ACCESS_DENIED;
    DWORD openServiceError = ERROR_SUCCESS;
    DWORD stopError = ERROR_SUCCESS;
    DWORD stopFailState = 0;  // what a failing stop request leaves in the record; 0: leaves it alone
    DWORD deleteError = ERROR_SUCCESS;
    bool vanishesOnStop = false;  // gone as soon as it has accepted the stop

    std::vector<ScCall> calls;
    std::set<SC_HANDLE> openHandles;
    std::map<SC_HANDLE, SC_HANDLE> managerOf;
    std::vector<std::string> misuse;  // a manager closed before its service, a handle closed twice
    bool deleted = false;
    unsigned handlesIssued = 0;
};

extern ServiceControl scm;
void ResetServiceControl();

// One line per call, handles named M1, S2, ... in the order they were opened.
std::vector<std::string> ScTrace();
int CountControls(DWORD control);

}  // namespace fake
