// A stand-in for Windows' schtasks.exe, for the Wine tests of the startup script: Wine's own schtasks
// neither takes /tr nor runs a task. It keeps one task, in the folder that QRVX_TASKS names:
//   schtasks /create ... /tr TASKRUN ... /f   keeps TASKRUN in task.txt
//   schtasks /run /tn NAME                    starts `cmd /c "TASKRUN"` and returns at once, as the Task
//                                             Scheduler's run does; its output goes to run.out and run.err
//   schtasks /delete /tn NAME /f              removes task.txt; fails when there is none
// Every call's command line is appended to calls.log, so that a test can hold them against the script. With
// QRVX_TASKS_REFUSE set, every call fails, as where the Task Scheduler's service is disabled.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Folder() {
    char folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("QRVX_TASKS", folder, sizeof(folder));
    return length > 0 && length < sizeof(folder) ? std::string(folder) + "\\" : std::string();
}

bool Append(const std::string& path, const std::string& line) {
    FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        return false;
    }
    std::fprintf(file, "%s\n", line.c_str());
    return std::fclose(file) == 0;
}

int Create(const std::string& folder, int argc, char** argv) {
    for (int n = 2; n + 1 < argc; ++n) {
        if (_stricmp(argv[n], "/tr") == 0) {
            FILE* file = std::fopen((folder + "task.txt").c_str(), "wb");
            if (file == nullptr) {
                return 1;
            }
            std::fputs(argv[n + 1], file);
            return std::fclose(file) == 0 ? 0 : 1;
        }
    }
    return 1;
}

HANDLE Output(const std::string& path) {
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

int Run(const std::string& folder) {
    char taskRun[1024] = {};
    FILE* file = std::fopen((folder + "task.txt").c_str(), "rb");
    if (file == nullptr) {
        return 1;
    }
    const std::size_t length = std::fread(taskRun, 1, sizeof(taskRun) - 1, file);
    std::fclose(file);
    taskRun[length] = '\0';

    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, sizeof(system));
    std::string command = std::string("\"") + system + "\\cmd.exe\" /c \"" + taskRun + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    startup.hStdInput = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                    OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = Output(folder + "run.out");
    startup.hStdError = Output(folder + "run.err");
    PROCESS_INFORMATION process = {};
    // A console of its own, never shown: Wine's cmd, started detached from any console, runs no program.
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, system, &startup, &process);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    if (!started) {
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = Folder();
    if (folder.empty() || !Append(folder + "calls.log", GetCommandLineA()) || argc < 2 ||
        GetEnvironmentVariableA("QRVX_TASKS_REFUSE", nullptr, 0) > 0) {
        return 1;
    }
    if (_stricmp(argv[1], "/create") == 0) {
        return Create(folder, argc, argv);
    }
    if (_stricmp(argv[1], "/run") == 0) {
        return Run(folder);
    }
    if (_stricmp(argv[1], "/delete") == 0) {
        return DeleteFileA((folder + "task.txt").c_str()) ? 0 : 1;
    }
    return 1;
}
