// Stands in for a system DLL planted beside the program: if it is ever loaded, it leaves a marker file
// named after itself next to it.
#include <windows.h>

#include <cstring>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH] = {};
        DWORD length = GetModuleFileNameA(instance, path, MAX_PATH - 8);
        if (length > 0 && length < MAX_PATH - 8) {
            std::strcat(path, ".loaded");
            HANDLE marker =
                CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (marker != INVALID_HANDLE_VALUE) {
                CloseHandle(marker);
            }
        }
    }
    return TRUE;
}
