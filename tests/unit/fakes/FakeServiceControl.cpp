#include "fakes/FakeServiceControl.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "fakes/FakeKernel32.h"

namespace fake {

ServiceControl scm;

void ResetServiceControl() {
    scm = ServiceControl();
}

namespace {

// Whether Windows fills a control's status record although the control failed: only for these.
bool FillsRecordOnFailure(DWORD error) {
    return error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
           error == ERROR_SERVICE_NOT_ACTIVE;
}

const uintptr_t kManagerKind = 1;
const uintptr_t kServiceKind = 2;

uintptr_t Kind(SC_HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle) >> 16;
}

std::string Name(SC_HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return (Kind(handle) == kManagerKind ? "M" : "S") + std::to_string(value & 0xFFFF);
}

SC_HANDLE Issue(uintptr_t kind, SC_HANDLE manager) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): fake handles are only compared, never dereferenced
    SC_HANDLE handle = reinterpret_cast<SC_HANDLE>(kind << 16 | ++scm.handlesIssued);
    scm.openHandles.insert(handle);
    if (manager != nullptr) {
        scm.managerOf[handle] = manager;
    }
    return handle;
}

bool IsOpen(SC_HANDLE handle, uintptr_t kind) {
    return Kind(handle) == kind && scm.openHandles.count(handle);
}

BOOL Fail(ScCall call, DWORD error) {
    call.failed = true;
    call.error = error;
    scm.calls.push_back(call);
    platform::SetLastError(error);
    return FALSE;
}

BOOL Succeed(const ScCall& call) {
    scm.calls.push_back(call);
    platform::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void Fill(SERVICE_STATUS* status, DWORD state) {
    *status = SERVICE_STATUS();
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = state;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
    return text;
}

std::string Describe(const ScCall& call) {
    std::string result = call.failed ? " -> error " + std::to_string(call.error) : "";
    switch (call.op) {
        case ScOp::OpenManager:
            return "OpenSCManagerA " + Hex(call.access) + (call.failed ? result : " -> " + Name(call.handle));
        case ScOp::OpenService:
            return "OpenServiceA " + Name(call.manager) + " " + call.name + " " + Hex(call.access) +
                   (call.failed ? result : " -> " + Name(call.handle));
        case ScOp::Control:
            return "ControlService " + Name(call.handle) + " " + std::to_string(call.control) + result;
        case ScOp::Query:
            return "QueryServiceStatus " + Name(call.handle) + result;
        case ScOp::ChangeConfig:
            return "ChangeServiceConfigA " + Name(call.handle) + result;
        case ScOp::Delete:
            return "DeleteService " + Name(call.handle) + result;
        case ScOp::Close:
            return "CloseServiceHandle " + Name(call.handle) + result;
    }
    return "?";
}

}  // namespace

std::vector<std::string> ScTrace() {
    std::vector<std::string> lines;
    for (const ScCall& call : scm.calls) {
        lines.push_back(Describe(call));
    }
    return lines;
}

int CountControls(DWORD control) {
    return static_cast<int>(std::count_if(scm.calls.begin(), scm.calls.end(), [control](const ScCall& call) {
        return call.op == ScOp::Control && call.control == control;
    }));
}

}  // namespace fake

namespace platform {

using fake::scm;

SC_HANDLE OpenSCManagerA(const char* machineName, const char* databaseName, DWORD desiredAccess) {
    fake::ScCall call;
    call.op = fake::ScOp::OpenManager;
    call.access = desiredAccess;
    // Only the local machine's default database is there.
    if (machineName != nullptr || databaseName != nullptr) {
        fake::Fail(call, ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (scm.managerOpensLeft == 0) {
        fake::Fail(call, scm.managerOpenError);
        return nullptr;
    }
    if (scm.managerOpensLeft > 0) {
        --scm.managerOpensLeft;
    }
    call.handle = fake::Issue(fake::kManagerKind, nullptr);
    fake::Succeed(call);
    return call.handle;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess) {
    fake::ScCall call;
    call.op = fake::ScOp::OpenService;
    call.manager = manager;
    call.name = serviceName;
    call.access = desiredAccess;
    if (!fake::IsOpen(manager, fake::kManagerKind)) {
        fake::Fail(call, ERROR_INVALID_HANDLE);
    } else if (scm.openServiceError != ERROR_SUCCESS) {
        fake::Fail(call, scm.openServiceError);
    } else if (!scm.installed || call.name != scm.serviceName || scm.opensUntilGone == 0) {
        fake::Fail(call, ERROR_SERVICE_DOES_NOT_EXIST);
    } else {
        if (scm.opensUntilGone > 0) {
            --scm.opensUntilGone;
        }
        call.handle = fake::Issue(fake::kServiceKind, manager);
        fake::Succeed(call);
    }
    return call.handle;
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    fake::ScCall call;
    call.op = fake::ScOp::Control;
    call.handle = service;
    call.control = control;
    if (!fake::IsOpen(service, fake::kServiceKind)) {
        return fake::Fail(call, ERROR_INVALID_HANDLE);
    }
    DWORD error = ERROR_SUCCESS;
    DWORD state = scm.state;
    if (control != SERVICE_CONTROL_INTERROGATE && control != SERVICE_CONTROL_STOP) {
        error = ERROR_INVALID_PARAMETER;
    } else if (control == SERVICE_CONTROL_STOP && scm.stopError != ERROR_SUCCESS) {
        error = scm.stopError;  // as scripted, whatever the state
        state = scm.stopFailState;
    } else if (scm.state == SERVICE_STOPPED) {
        error = ERROR_SERVICE_NOT_ACTIVE;
    } else if (scm.state == SERVICE_START_PENDING || scm.state == SERVICE_STOP_PENDING) {
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;  // the manager refuses it without asking the service
    } else if (scm.handlerBusy) {
        // The manager waits for the handler, which is still busy with an earlier control, then gives up.
        fake::kernel32.tickCount += scm.controlTimeoutMs;
        error = ERROR_SERVICE_REQUEST_TIMEOUT;
    } else if (control == SERVICE_CONTROL_STOP) {
        scm.state = state = SERVICE_STOP_PENDING;
        scm.installed = !scm.vanishesOnStop;
    }
    if (error == ERROR_SUCCESS || (fake::FillsRecordOnFailure(error) && state != 0)) {
        fake::Fill(status, state);
    }
    return error == ERROR_SUCCESS ? fake::Succeed(call) : fake::Fail(call, error);
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    fake::ScCall call;
    call.op = fake::ScOp::Query;
    call.handle = service;
    if (!fake::IsOpen(service, fake::kServiceKind)) {
        return fake::Fail(call, ERROR_INVALID_HANDLE);
    }
    scm.lookTicks.push_back(fake::kernel32.tickCount);
    fake::kernel32.tickCount += scm.lookMs;
    fake::ScAnswer answer;
    answer.state = scm.state;
    if (!scm.answers.empty()) {
        answer = scm.answers.front();
        scm.answers.pop_front();
    }
    if (answer.error != ERROR_SUCCESS) {
        return fake::Fail(call, answer.error);
    }
    scm.state = answer.state;
    fake::Fill(status, answer.state);
    return fake::Succeed(call);
}

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                          const char* dependencies, const char* serviceStartName, const char* password,
                          const char* displayName) {
    fake::ScCall call;
    call.op = fake::ScOp::ChangeConfig;
    call.handle = service;
    if (!fake::IsOpen(service, fake::kServiceKind)) {
        return fake::Fail(call, ERROR_INVALID_HANDLE);
    }
    // Only the call that changes nothing is expected here.
    const DWORD values[] = {serviceType, startType, errorControl};
    const void* pointers[] = {binaryPathName,   loadOrderGroup, tagId,      dependencies,
                              serviceStartName, password,       displayName};
    for (DWORD value : values) {
        if (value != SERVICE_NO_CHANGE) {
            scm.misuse.push_back("ChangeServiceConfigA changes a value");
        }
    }
    for (const void* pointer : pointers) {
        if (pointer != nullptr) {
            scm.misuse.push_back("ChangeServiceConfigA changes a text");
        }
    }
    return scm.configError == ERROR_SUCCESS ? fake::Succeed(call) : fake::Fail(call, scm.configError);
}

BOOL DeleteService(SC_HANDLE service) {
    fake::ScCall call;
    call.op = fake::ScOp::Delete;
    call.handle = service;
    if (!fake::IsOpen(service, fake::kServiceKind)) {
        return fake::Fail(call, ERROR_INVALID_HANDLE);
    }
    if (scm.deleteError != ERROR_SUCCESS) {
        return fake::Fail(call, scm.deleteError);
    }
    scm.deleted = true;
    return fake::Succeed(call);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    fake::ScCall call;
    call.op = fake::ScOp::Close;
    call.handle = handle;
    if (!scm.openHandles.count(handle)) {
        scm.misuse.push_back("closed a handle that is not open: " + fake::Name(handle));
        return fake::Fail(call, ERROR_INVALID_HANDLE);
    }
    for (const auto& [service, manager] : scm.managerOf) {
        if (manager == handle && scm.openHandles.count(service)) {
            scm.misuse.push_back(fake::Name(handle) + " closed while " + fake::Name(service) + " is open");
        }
    }
    scm.openHandles.erase(handle);
    // A deleted service is gone from the database once no handle to it is open any more.
    const bool serviceStillOpen =
        std::any_of(scm.openHandles.begin(), scm.openHandles.end(),
                    [](SC_HANDLE open) { return fake::Kind(open) == fake::kServiceKind; });
    if (scm.deleted && !serviceStillOpen) {
        scm.installed = false;
    }
    return fake::Succeed(call);
}

}  // namespace platform
