#include "check/InstallCheck.h"

#include "config/ServiceIdentity.h"
#include "platform/Win32.h"
#include "service/ScHandle.h"

namespace {

enum class InstallState {
    kGone,       // no such service (ERROR_SERVICE_DOES_NOT_EXIST)
    kGoing,      // marked for deletion and no longer running: it goes once the last handle to it is closed
    kInstalled,  // anything else
};

constexpr int kGoneStatus = 0;
constexpr int kGoingStatus = 3010;
constexpr int kInstalledStatus = 1603;

// A deleted service lingers until the last handle to it is closed, the exiting service process's own
// among them, which is a moment; one held open elsewhere (the Services console, a monitoring agent) stays
// until that handle is closed or the machine restarts.
constexpr int kSettlePolls = 50;
constexpr DWORD kSettlePollIntervalMs = 100;

// ChangeServiceConfig that changes nothing, as its page allows (SERVICE_NO_CHANGE, and no texts), tells a
// service marked for deletion by failing with ERROR_SERVICE_MARKED_FOR_DELETE. QueryServiceStatus and
// QueryServiceConfig say nothing of it, and NotifyServiceStatusChange, which documents the same error, has
// been seen to succeed under Wine all the same.
bool IsMarkedForDeletion(SC_HANDLE service) {
    if (platform::ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        return false;
    }
    return platform::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

InstallState QueryInstallState() {
    ScHandle manager;
    manager.Reset(platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return InstallState::kInstalled;
    }
    ScHandle service;
    service.Reset(platform::OpenServiceA(manager.Get(), ServiceIdentity::kName,
                                         SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG));
    if (!service) {
        const DWORD error = platform::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return InstallState::kGone;
        }
        // Nothing more can be asked of a service the manager will not open because it is going.
        return error == ERROR_SERVICE_MARKED_FOR_DELETE ? InstallState::kGoing : InstallState::kInstalled;
    }
    SERVICE_STATUS status = {};
    if (!platform::QueryServiceStatus(service.Get(), &status) || status.dwCurrentState != SERVICE_STOPPED) {
        return InstallState::kInstalled;  // one that still runs stays, marked or not
    }
    return IsMarkedForDeletion(service.Get()) ? InstallState::kGoing : InstallState::kInstalled;
}

}  // namespace

int CheckInstalled() {
    InstallState state = QueryInstallState();
    for (int poll = 0; poll < kSettlePolls && state == InstallState::kGoing; ++poll) {
        platform::Sleep(kSettlePollIntervalMs);
        state = QueryInstallState();
    }
    switch (state) {
        case InstallState::kGone:
            return kGoneStatus;
        case InstallState::kGoing:
            return kGoingStatus;
        case InstallState::kInstalled:
            break;
    }
    return kInstalledStatus;
}

ServiceLook LookAtService() {
    ScHandle manager;
    manager.Reset(platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return {ServiceLook::kNotOpened, 0, platform::GetLastError()};
    }
    ScHandle service;
    service.Reset(platform::OpenServiceA(manager.Get(), ServiceIdentity::kName, SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = platform::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return {ServiceLook::kAbsent, 0, error};
        }
        return {error == ERROR_SERVICE_MARKED_FOR_DELETE ? ServiceLook::kMarkedForDeletion
                                                         : ServiceLook::kNotOpened,
                0, error};
    }
    SERVICE_STATUS status = {};
    if (!platform::QueryServiceStatus(service.Get(), &status)) {
        const DWORD error = platform::GetLastError();
        return {error == ERROR_SERVICE_MARKED_FOR_DELETE ? ServiceLook::kMarkedForDeletion
                                                         : ServiceLook::kNotOpened,
                0, error};
    }
    const bool marked = IsMarkedForDeletion(service.Get());
    return {marked ? ServiceLook::kMarkedForDeletion : ServiceLook::kInstalled, status.dwCurrentState,
            ERROR_SUCCESS};
}
