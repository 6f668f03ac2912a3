// WinINet and IP Helper, taken from the system directory only; and what kernel32 may lack.
//
// The program runs elevated, often from a download folder. Neither DLL is a KnownDLL, so an ordinary import
// would let a wininet.dll or iphlpapi.dll planted beside the program be loaded in its place. Both are
// loaded here by LoadLibraryExA with LOAD_LIBRARY_SEARCH_SYSTEM32, or by full system path where that flag
// is unknown (Windows 7 without KB2533623), and never by bare name.
#include "platform/Win32.h"

#include <iphlpapi.h>

#include <cstring>

namespace platform {
namespace {

HMODULE LoadSystemLibrary(const char* name) {
    HMODULE module = ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || ::GetLastError() != ERROR_INVALID_PARAMETER) {
        return module;
    }
    char path[MAX_PATH];
    UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    std::size_t nameSize = std::strlen(name) + 1;
    if (length == 0 || length + 1 + nameSize > MAX_PATH) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    path[length] = '\\';
    std::memcpy(path + length + 1, name, nameSize);
    return ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Each DLL is loaded once, on first use, and kept to the end of the process.
HMODULE WinInet() {
    static HMODULE module = LoadSystemLibrary("wininet.dll");
    return module;
}

HMODULE IpHelper() {
    static HMODULE module = LoadSystemLibrary("iphlpapi.dll");
    return module;
}

// The entry point `name` of `module`, as a pointer of the type of the SDK's declaration; empty with the
// last error set when the DLL or the entry point is missing.
template <typename Function>
Function Resolve(HMODULE module, const char* name) {
    if (module == nullptr) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    FARPROC address = ::GetProcAddress(module, name);
    if (address == nullptr) {
        return nullptr;
    }
    // The two-step cast keeps compilers quiet about converting between function pointer types.
    // NOLINTNEXTLINE(bugprone-casting-through-void): GetProcAddress's address is of the function's own type
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

#define QRVX_RESOLVE(module, name) static const auto function = Resolve<decltype(&::name)>(module(), #name)

// Kernel32 is in every process from its start, so asking for it loads nothing.
HMODULE Kernel32() {
    return ::GetModuleHandleA("kernel32.dll");
}

}  // namespace

BOOL SetDefaultDllDirectories(DWORD directoryFlags) {
    QRVX_RESOLVE(Kernel32, SetDefaultDllDirectories);
    if (function == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return function(directoryFlags);
}

HMODULE WinInetModule() {
    return WinInet();
}

HINTERNET InternetOpenA(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                        DWORD flags) {
    QRVX_RESOLVE(WinInet, InternetOpenA);
    return function != nullptr ? function(agent, accessType, proxy, proxyBypass, flags) : nullptr;
}

BOOL InternetSetOptionA(HINTERNET internet, DWORD option, void* buffer, DWORD bufferLength) {
    QRVX_RESOLVE(WinInet, InternetSetOptionA);
    return function != nullptr ? function(internet, option, buffer, bufferLength) : FALSE;
}

HINTERNET InternetConnectA(HINTERNET session, const char* serverName, INTERNET_PORT serverPort,
                           const char* userName, const char* password, DWORD service, DWORD flags,
                           DWORD_PTR context) {
    QRVX_RESOLVE(WinInet, InternetConnectA);
    return function != nullptr
               ? function(session, serverName, serverPort, userName, password, service, flags, context)
               : nullptr;
}

HINTERNET HttpOpenRequestA(HINTERNET connection, const char* verb, const char* objectName,
                           const char* version, const char* referrer, const char** acceptTypes, DWORD flags,
                           DWORD_PTR context) {
    QRVX_RESOLVE(WinInet, HttpOpenRequestA);
    return function != nullptr
               ? function(connection, verb, objectName, version, referrer, acceptTypes, flags, context)
               : nullptr;
}

BOOL HttpSendRequestA(HINTERNET request, const char* headers, DWORD headersLength, void* optional,
                      DWORD optionalLength) {
    QRVX_RESOLVE(WinInet, HttpSendRequestA);
    return function != nullptr ? function(request, headers, headersLength, optional, optionalLength) : FALSE;
}

BOOL InternetQueryDataAvailable(HINTERNET file, DWORD* numberOfBytesAvailable, DWORD flags,
                                DWORD_PTR context) {
    QRVX_RESOLVE(WinInet, InternetQueryDataAvailable);
    return function != nullptr ? function(file, numberOfBytesAvailable, flags, context) : FALSE;
}

BOOL InternetReadFile(HINTERNET file, void* buffer, DWORD numberOfBytesToRead, DWORD* numberOfBytesRead) {
    QRVX_RESOLVE(WinInet, InternetReadFile);
    return function != nullptr ? function(file, buffer, numberOfBytesToRead, numberOfBytesRead) : FALSE;
}

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD* index) {
    QRVX_RESOLVE(WinInet, HttpQueryInfoA);
    return function != nullptr ? function(request, infoLevel, buffer, bufferLength, index) : FALSE;
}

ULONG GetAdaptersInfo(IP_ADAPTER_INFO* adapterInfo, ULONG* sizePointer) {
    QRVX_RESOLVE(IpHelper, GetAdaptersInfo);
    return function != nullptr ? function(adapterInfo, sizePointer) : ERROR_NOT_SUPPORTED;
}

}  // namespace platform
