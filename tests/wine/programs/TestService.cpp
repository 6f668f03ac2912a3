// A service for the tests, whose answer to a stop request is chosen by its arguments:
//   qrvxtestsvc.exe LOG [--start-until FILE MS] MODE
//     --start-until FILE MS  start pending, as at boot, until FILE exists or for MS milliseconds at most:
//                         a test says when it has seen what it waited for, whatever the machine's speed
//   and MODE one of
//     --stop-at-once      stopped before the stop request returns
//     --stop-after MS     stop pending for MS milliseconds, then stopped
//     --never-stop        stop pending for ever
//     --exit-in-handler   reports stopped and ends its process inside the handler, so that the stop
//                         request gets no answer
//     --stop-in-handler MS  does its clean-up inside the handler for MS milliseconds, saying nothing, then
//                         reports stopped and returns: the Service Control Manager's time-out may come
//                         first
// A test puts the service into STOP_PENDING before a run by `sc stop` with --stop-after or --never-stop.
// Every control it receives is appended to the file LOG as a line "control N", so that a test can tell
// whether a stop was asked for at all.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Mode { kStopAtOnce, kStopAfter, kNeverStop, kExitInHandler, kStopInHandler };

Mode g_mode = Mode::kStopAtOnce;
DWORD g_stopDelayMs = 0;
DWORD g_startDelayMs = 0;
char g_startUntilPath[MAX_PATH] = {};
char g_logPath[MAX_PATH] = {};
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stopRequested = nullptr;

void Log(const char* line) {
    FILE* log = std::fopen(g_logPath, "a");
    if (log != nullptr) {
        std::fprintf(log, "%s\n", line);
        std::fclose(log);
    }
}

void Report(DWORD state) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    g_status.dwWaitHint = state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING ? 60000 : 0;
    ++g_status.dwCheckPoint;
    SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/) {
    char line[32];
    std::snprintf(line, sizeof(line), "control %lu", static_cast<unsigned long>(control));
    Log(line);
    if (control == SERVICE_CONTROL_STOP) {
        if (g_mode == Mode::kExitInHandler) {
            Report(SERVICE_STOPPED);
            Log("stopped");
            ExitProcess(0);
        }
        if (g_mode == Mode::kStopInHandler) {
            Sleep(g_stopDelayMs);
            Report(SERVICE_STOPPED);
            Log("stopped");
            SetEvent(g_stopRequested);
            return NO_ERROR;
        }
        if (g_mode == Mode::kStopAtOnce) {
            Report(SERVICE_STOPPED);
        } else {
            Report(SERVICE_STOP_PENDING);
        }
        SetEvent(g_stopRequested);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) {
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD /*argc*/, char** /*argv*/) {
    g_statusHandle = RegisterServiceCtrlHandlerExA("", Handler, nullptr);
    if (g_statusHandle == nullptr) {
        return;
    }
    g_stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_startDelayMs != 0) {
        Report(SERVICE_START_PENDING);
        Log("starting");
        const ULONGLONG until = GetTickCount64() + g_startDelayMs;
        while (GetFileAttributesA(g_startUntilPath) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < until) {
            Sleep(100);
        }
    }
    Report(SERVICE_RUNNING);
    Log("running");
    WaitForSingleObject(g_stopRequested, INFINITE);
    if (g_mode == Mode::kNeverStop) {
        Sleep(INFINITE);
    }
    if (g_mode == Mode::kStopAfter) {
        Sleep(g_stopDelayMs);
        Report(SERVICE_STOPPED);
    }
    if (g_mode != Mode::kStopInHandler) {
        Log("stopped");
    }
}

}  // namespace

int main(int argc, char** argv) {
    int arg = 2;
    if (argc > arg + 2 && std::strcmp(argv[arg], "--start-until") == 0) {
        std::snprintf(g_startUntilPath, sizeof(g_startUntilPath), "%s", argv[arg + 1]);
        g_startDelayMs = static_cast<DWORD>(std::strtoul(argv[arg + 2], nullptr, 10));
        arg += 3;
    }
    if (argc <= arg) {
        std::fprintf(
            stderr,
            "usage: %s LOG [--start-until FILE MS] --stop-at-once | --stop-after MS | --never-stop |\n"
            "       --exit-in-handler | --stop-in-handler MS\n",
            argv[0]);
        return 2;
    }
    std::snprintf(g_logPath, sizeof(g_logPath), "%s", argv[1]);
    const char* mode = argv[arg];
    const DWORD delayMs = argc > arg + 1 ? static_cast<DWORD>(std::strtoul(argv[arg + 1], nullptr, 10)) : 0;
    if (std::strcmp(mode, "--stop-after") == 0) {
        g_mode = Mode::kStopAfter;
        g_stopDelayMs = delayMs;
    } else if (std::strcmp(mode, "--stop-in-handler") == 0) {
        g_mode = Mode::kStopInHandler;
        g_stopDelayMs = delayMs;
    } else if (std::strcmp(mode, "--never-stop") == 0) {
        g_mode = Mode::kNeverStop;
    } else if (std::strcmp(mode, "--exit-in-handler") == 0) {
        g_mode = Mode::kExitInHandler;
    }
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    BOOL dispatched = StartServiceCtrlDispatcherA(table);
    // Wine's dispatcher returns as soon as the service reports STOPPED, even from inside the handler; stay
    // a little, so that the handler's answer to the stop request is not lost with the process.
    Sleep(500);
    return dispatched ? 0 : 1;
}
