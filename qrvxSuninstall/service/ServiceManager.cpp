#include "service/ServiceManager.h"

#include <cstring>

#include "common/FixedText.h"
#include "service/ScHandle.h"

ServiceSettingsRecord CServiceManager::ServiceSettings;
DWORD CServiceManager::SettingsInitialised = 0;

namespace {

// Opens the manager, then the service by the settings' name with `access`. Returns 0, 6 when there is
// no manager, or the error of the service's open.
DWORD OpenHandlePair(HandlePair& handles, DWORD access) {
    handles.manager.Reset(platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!handles.manager) {
        return ERROR_INVALID_HANDLE;
    }
    handles.service.Reset(
        platform::OpenServiceA(handles.manager.Get(), CServiceManager::ServiceSettings.serviceName, access));
    if (!handles.service) {
        return platform::GetLastError();
    }
    return ERROR_SUCCESS;
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

DWORD CServiceManager::InterrogateService(SERVICE_STATUS& status) {
    HandlePair handles;
    DWORD result = OpenHandlePair(handles, SERVICE_INTERROGATE);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (!platform::ControlService(handles.service.Get(), SERVICE_CONTROL_INTERROGATE, &status)) {
        DWORD error = platform::GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) {
            // Not running is an answer, not a failure; the record may be left as it was.
            status.dwCurrentState = SERVICE_STOPPED;
        } else if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
            return error;
        }
        // A service that is starting or stopping cannot take the control, but the record holds its state.
    }
    return ERROR_SUCCESS;
}

DWORD CServiceManager::StopService() {
    SERVICE_STATUS status = {};
    DWORD result = InterrogateService(status);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        return ERROR_SUCCESS;
    }

    HandlePair handles;
    result = OpenHandlePair(handles, SERVICE_ALL_ACCESS);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    // Only a state that this request itself reports is taken from the record below.
    status.dwCurrentState = 0;
    if (!platform::ControlService(handles.service.Get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD error = platform::GetLastError();
        // The request can fail while the service stops all the same: one that stops inside its handler, or
        // one that was already stopping. Only a service that is not on its way to stopped has refused.
        if (!IsStoppingOrStopped(status.dwCurrentState)) {
            SERVICE_STATUS fresh = {};
            if (InterrogateService(fresh) != ERROR_SUCCESS || !IsStoppingOrStopped(fresh.dwCurrentState)) {
                return error;
            }
        }
    }

    // NotifyServiceStatusChange would say when the state changes, but only through an APC to an alertable
    // wait, and a service that hangs in STOP_PENDING never changes: the wait needs its bound either way.
    // Asking the service once a second keeps that bound exact, on every system and under Wine alike.
    for (int poll = 0; poll < kStopPollCount; ++poll) {
        InterrogateService(status);
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return ERROR_SUCCESS;
        }
        platform::Sleep(kStopPollIntervalMs);
    }
    return WAIT_TIMEOUT;
}

DWORD CServiceManager::RemoveService() {
    HandlePair handles;
    DWORD result = OpenHandlePair(handles, SERVICE_ALL_ACCESS);
    if (result != ERROR_SUCCESS) {
        return result == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : result;  // nothing to remove
    }

    // The codes of the interrogation and of the stop are returned as they are: the thread's last error
    // may be 0 by then, which would report a failure as success.
    SERVICE_STATUS status = {};
    result = InterrogateService(status);
    if (result != ERROR_SUCCESS) {
        return result;
    }
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
