// A service for the tests, whose answer to a stop request is chosen by its arguments:
//   qrvxtestsvc.exe LOG --stop-at-once     stopped before the stop request returns
//   qrvxtestsvc.exe LOG --stop-after MS    stop pending for MS milliseconds, then stopped
//   qrvxtestsvc.exe LOG --never-stop       stop pending for ever
//   qrvxtestsvc.exe LOG --exit-in-handler  reports stopped and ends its process inside the handler, so
//                                          that the stop request gets no answer
// A test puts the service into STOP_PENDING before a run by `sc stop` with --stop-after or --never-stop.
// Every control it receives is appended to the file LOG as a line "control N", so that a test can tell
// whether a stop was asked for at all.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Mode { kStopAtOnce, kStopAfter, kNeverStop, kExitInHandler };

Mode g_mode = Mode::kStopAtOnce;
DWORD g_stopDelayMs = 0;
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
    g_status.dwWaitHint = state == SERVICE_STOP_PENDING ? 60000 : 0;
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
    Log("stopped");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s LOG --stop-at-once | --stop-after MS | --never-stop | --exit-in-handler\n",
                     argv[0]);
        return 2;
    }
    std::snprintf(g_logPath, sizeof(g_logPath), "%s", argv[1]);
    if (std::strcmp(argv[2], "--stop-after") == 0 && argc > 3) {
        g_mode = Mode::kStopAfter;
        g_stopDelayMs = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    } else if (std::strcmp(argv[2], "--never-stop") == 0) {
        g_mode = Mode::kNeverStop;
    } else if (std::strcmp(argv[2], "--exit-in-handler") == 0) {
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
