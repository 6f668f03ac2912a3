// Stands in for a system DLL planted beside the program: if it is ever loaded, it leaves a marker file
// named after itself next to it.
#include <windows.h>

#include <cstring>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH] = {};
        const char suffix[] = ".loaded";
        DWORD length = GetModuleFileNameA(instance, path, MAX_PATH - sizeof(suffix));
        if (length > 0 && length < MAX_PATH - sizeof(suffix)) {
            std::memcpy(path + length, suffix, sizeof(suffix));
            HANDLE marker =
                CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (marker != INVALID_HANDLE_VALUE) {
                CloseHandle(marker);
            }
        }
    }
    return TRUE;
}
