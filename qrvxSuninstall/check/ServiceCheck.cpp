// qrvxScheck: whether the Quorvex service is still installed, told by the exit status alone, for the
// launcher that deployment tools run:
//   0     the Service Control Manager knows no such service (ERROR_SERVICE_DOES_NOT_EXIST);
//   1603  it is still installed, or the manager could not say: a failure is never taken for success.
// sc.exe cannot stand in for this: its exit status for a missing service differs between Windows and
// other implementations of it, and it is the same for a failed query.
#include "app/ServiceIdentity.h"
#include "service/ScHandle.h"

namespace {

constexpr int kGone = 0;
constexpr int kStillInstalled = 1603;  // ERROR_INSTALL_FAILURE, as deployment tools read it

// A stopped service that was deleted stays until the last handle to it is closed, the exiting service
// process's own among them. One that still runs will not go by itself, so only a stopped one is waited
// for, and never long.
constexpr int kSettlePolls = 50;
constexpr DWORD kSettlePollIntervalMs = 100;

enum class State { kGone, kMayBeGoing, kInstalled };

State QueryState() {
    ScHandle manager;
    manager.Reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return State::kInstalled;
    }
    ScHandle service;
    service.Reset(OpenServiceA(manager.Get(), ServiceIdentity::kName, SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return State::kGone;
        }
        return error == ERROR_SERVICE_MARKED_FOR_DELETE ? State::kMayBeGoing : State::kInstalled;
    }
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_STOPPED) {
        return State::kMayBeGoing;
    }
    return State::kInstalled;
}

}  // namespace

int main() {
    for (int poll = 0; poll < kSettlePolls; ++poll) {
        const State state = QueryState();
        if (state != State::kMayBeGoing) {
            return state == State::kGone ? kGone : kStillInstalled;
        }
        Sleep(kSettlePollIntervalMs);
    }
    return QueryState() == State::kGone ? kGone : kStillInstalled;
}
