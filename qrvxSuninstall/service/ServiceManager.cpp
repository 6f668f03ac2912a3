#include "service/ServiceManager.h"

#include <algorithm>
#include <cstring>

#include "common/FixedText.h"
#include "service/ScHandle.h"

ServiceSettingsRecord CServiceManager::ServiceSettings;
DWORD CServiceManager::SettingsInitialised = 0;
DWORD CServiceManager::FoundState = 0;
DWORD CServiceManager::ManagerError = 0;

namespace {

// Opens the manager, then the service by the settings' name with `access`. Returns 0, 6 when there is
// no manager, or the error of the service's open.
DWORD OpenHandlePair(HandlePair& handles, DWORD access) {
    handles.manager.Reset(platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!handles.manager) {
        CServiceManager::ManagerError = platform::GetLastError();
        return ERROR_INVALID_HANDLE;
    }
    handles.service.Reset(
        platform::OpenServiceA(handles.manager.Get(), CServiceManager::ServiceSettings.serviceName, access));
    if (!handles.service) {
        return platform::GetLastError();
    }
    return ERROR_SUCCESS;
}

// Sends the stop request, then looks at the service at once if `deadline` leaves time for it. Returns 0
// when the wait for the service to stop goes on, or the code of the refusal.
DWORD RequestStop(HandlePair& handles, SERVICE_STATUS& status, ULONGLONG& deadline) {
    DWORD result = OpenHandlePair(handles, SERVICE_ALL_ACCESS);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    // Only a state that this request itself reports is taken from the record.
    status.dwCurrentState = 0;
    const ULONGLONG sent = platform::GetTickCount64();
    const BOOL accepted = platform::ControlService(handles.service.Get(), SERVICE_CONTROL_STOP, &status);
    const DWORD error = accepted ? ERROR_SUCCESS : platform::GetLastError();
    // The manager holds the request while the service's handler runs, up to its control time-out: that
    // time is the request's, not the wait's.
    deadline += platform::GetTickCount64() - sent;

    // A look that fails, or that there is no time left for, leaves the record as the request filled it.
    // The request can fail while the service stops all the same: one that stops inside its handler, or one
    // that was already stopping; after a time-out its handler may still be at its clean-up. Any other
    // service has refused.
    if (platform::GetTickCount64() < deadline) {
        CServiceManager::InterrogateService(status);
    }
    if (!accepted && error != ERROR_SERVICE_REQUEST_TIMEOUT && !IsStoppingOrStopped(status.dwCurrentState)) {
        return error;
    }
    return ERROR_SUCCESS;
}

// Sleeps until the next look is due, a second on or at `deadline`; false when no time is left for one.
// NotifyServiceStatusChange would say when the state changes, but only through an APC to an alertable wait,
// and a service that hangs in STOP_PENDING never changes: the wait needs its bound either way.
bool WaitForNextLook(ULONGLONG deadline) {
    const ULONGLONG now = platform::GetTickCount64();
    if (now >= deadline) {
        return false;
    }
    platform::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kStopPollIntervalMs, deadline - now)));
    return platform::GetTickCount64() < deadline;
}

}  // namespace

bool IsStoppingOrStopped(DWORD state) {
    return state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
}

CServiceManager::CServiceManager() {
    if (SettingsInitialised != 1) {
        InitSettings();
    }
}

CServiceManager::~CServiceManager() = default;

void CServiceManager::InitSettings() {
    SettingsInitialised = 1;
    std::memset(&ServiceSettings, 0, sizeof(ServiceSettings));

    // A path cut at the buffer's end may come back unterminated on older systems.
    char* path = ServiceSettings.moduleDirectory;
    platform::GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[MAX_PATH - 1] = '\0';

    char* lastBackslash = std::strrchr(path, '\\');
    char fileName[MAX_PATH];
    CopyText(fileName, lastBackslash != nullptr ? lastBackslash + 1 : path);
    CopyText(ServiceSettings.modulePath, path);
    if (lastBackslash != nullptr) {
        *lastBackslash = '\0';
    } else {
        // No directory part: the directory is unknown rather than the file name.
        path[0] = '\0';
    }

    char* lastDot = std::strrchr(fileName, '.');
    if (lastDot != nullptr) {
        *lastDot = '\0';
    }
    CopyText(ServiceSettings.serviceName, fileName);
    CopyText(ServiceSettings.displayName, fileName);

    ServiceSettings.desiredAccess = SERVICE_ALL_ACCESS;
    ServiceSettings.serviceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceSettings.startType = SERVICE_AUTO_START;
    ServiceSettings.errorControl = SERVICE_ERROR_NORMAL;
}

// QueryServiceStatus, not SERVICE_CONTROL_INTERROGATE: the manager answers it from the status the service
// last reported. An interrogation is a control like any other, queued behind the one the service is still
// handling, and on Windows each may wait out the control time-out (30 s by default) before it fails.
DWORD CServiceManager::InterrogateService(SERVICE_STATUS& status) {
    HandlePair handles;
    DWORD result = OpenHandlePair(handles, SERVICE_QUERY_STATUS);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (!platform::QueryServiceStatus(handles.service.Get(), &status)) {
        return platform::GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD CServiceManager::StopService() {
    ULONGLONG deadline = platform::GetTickCount64() + kStopWaitMs;
    SERVICE_STATUS status = {};
    DWORD result = InterrogateService(status);
    if (result != ERROR_SUCCESS) {
        return result;
    }

    HandlePair handles;  // the stop request's, held to the end of the wait
    bool stopRequested = false;
    while (status.dwCurrentState != SERVICE_STOPPED) {
        // Windows refuses to stop a service that is still starting (1061): it is waited for until it runs,
        // or until it stops by itself.
        if (!stopRequested && status.dwCurrentState != SERVICE_START_PENDING) {
            stopRequested = true;
            result = RequestStop(handles, status, deadline);
            if (result != ERROR_SUCCESS) {
                return result;
            }
        } else if (WaitForNextLook(deadline)) {
            InterrogateService(status);  // a look that fails leaves the record as it was
        } else {
            return WAIT_TIMEOUT;
        }
    }
    return ERROR_SUCCESS;
}

DWORD CServiceManager::RemoveService() {
    FoundState = 0;
    ManagerError = 0;
    HandlePair handles;
    DWORD result = OpenHandlePair(handles, SERVICE_ALL_ACCESS);
    if (result != ERROR_SUCCESS) {
        return result == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : result;  // nothing to remove
    }

    // The codes of the look and of the stop are returned as they are: the thread's last error
    // may be 0 by then, which would report a failure as success.
    SERVICE_STATUS status = {};
    result = InterrogateService(status);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    FoundState = status.dwCurrentState;
    if (status.dwCurrentState != SERVICE_STOPPED) {
        result = StopService();
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    if (!platform::DeleteService(handles.service.Get())) {
        return platform::GetLastError();
    }
    return ERROR_SUCCESS;
}
