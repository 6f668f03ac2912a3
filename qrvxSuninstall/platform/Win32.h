// The one seam between the program and the operating system.
//
// On Windows this is the system's own headers; every call the program makes goes through namespace
// `platform`, so the WinINet and IP Helper entry points can be taken from DLLs loaded out of the system
// directory (SystemLibrary.cpp) instead of standing in the import table. Elsewhere the few Win32 names the
// program uses are declared here and defined by the unit tests' fakes.
#pragma once

#ifdef _WIN32

#include <windows.h>
// windows.h first: the others need its types. Of IP Helper, its types alone: iphlpapi.h brings in the
// routing and OLE headers, a quarter of what every file would read, for the one function whose type
// SystemLibrary.cpp takes.
#include <iptypes.h>
#include <wininet.h>
#include <winsvc.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

#else  // !_WIN32

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef unsigned char BYTE;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned long ULONG;
typedef uint16_t INTERNET_PORT;
typedef char16_t WCHAR;
typedef void* HINTERNET;
typedef void* HMODULE;
typedef void* HANDLE;
typedef uint64_t ULONGLONG;
typedef uintptr_t DWORD_PTR;
typedef struct SC_HANDLE__* SC_HANDLE;  // NOLINT(bugprone-reserved-identifier): the SDK's own name
typedef struct HKEY__* HKEY;            // NOLINT(bugprone-reserved-identifier): the SDK's own name
typedef DWORD REGSAM;

#define WINAPI
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(void* parameter);

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define CP_ACP 0

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_BAD_NETPATH 53u
#define ERROR_UNEXP_NET_ERR 59u
#define ERROR_NETNAME_DELETED 64u
#define ERROR_BAD_NET_NAME 67u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_NO_NETWORK 1222u
#define ERROR_NETWORK_UNREACHABLE 1231u
#define ERROR_HOST_UNREACHABLE 1232u
#define ERROR_INTERNET_TIMEOUT 12002u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_MORE_DATA 234u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_BUFFER_OVERFLOW 111u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_NO_DATA 232u
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define ERROR_DEPENDENT_SERVICES_RUNNING 1051u
#define ERROR_INVALID_SERVICE_CONTROL 1052u
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072u
#define ERROR_INTERNET_INTERNAL_ERROR 12004u
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007u
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019u
#define ERROR_INTERNET_CONNECTION_RESET 12031u
#define ERROR_INTERNET_CANNOT_CONNECT 12029u
#define ERROR_INTERNET_INVALID_CA 12045u
#define ERROR_HTTP_HEADER_NOT_FOUND 12150u

#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SC_MANAGER_CONNECT 0x0001u
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_NO_CHANGE 0xFFFFFFFFu
#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_AUTO_START 0x00000002u
#define SERVICE_ERROR_NORMAL 0x00000001u
#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_CONTINUE_PENDING 0x00000005u
#define SERVICE_PAUSE_PENDING 0x00000006u
#define SERVICE_PAUSED 0x00000007u

// NOLINTNEXTLINE(performance-no-int-to-ptr): a predefined key, as the SDK defines it
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_WOW64_64KEY 0x0100u
#define REG_OPTION_NON_VOLATILE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_DWORD 4u

#define EVENTLOG_ERROR_TYPE 0x0001u
#define EVENTLOG_WARNING_TYPE 0x0002u
#define EVENTLOG_INFORMATION_TYPE 0x0004u

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
// NOLINTNEXTLINE(performance-no-int-to-ptr): the SDK's own value
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u

#define INTERNET_OPEN_TYPE_PRECONFIG 0u
#define INTERNET_SERVICE_HTTP 3u
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_DEFAULT_HTTPS_PORT 443
#define INTERNET_FLAG_SECURE 0x00800000u
#define INTERNET_FLAG_RELOAD 0x80000000u
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000u
#define INTERNET_FLAG_KEEP_CONNECTION 0x00400000u
#define INTERNET_FLAG_NO_AUTO_REDIRECT 0x00200000u
#define INTERNET_FLAG_NO_COOKIES 0x00080000u
#define INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP 0x00008000u
#define INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS 0x00004000u
#define INTERNET_FLAG_NO_UI 0x00000200u
#define INTERNET_OPTION_CONNECT_TIMEOUT 2u
#define INTERNET_OPTION_SEND_TIMEOUT 5u
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6u
#define HTTP_QUERY_STATUS_CODE 19u
#define HTTP_QUERY_LOCATION 33u
#define HTTP_QUERY_FLAG_NUMBER 0x20000000u

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

#define MAX_ADAPTER_NAME_LENGTH 256
#define MAX_ADAPTER_DESCRIPTION_LENGTH 128
#define MAX_ADAPTER_ADDRESS_LENGTH 8

struct IP_ADDR_STRING {
    IP_ADDR_STRING* Next;
    char IpAddress[16];
    char IpMask[16];
    DWORD Context;
};

struct IP_ADAPTER_INFO {
    IP_ADAPTER_INFO* Next;
    DWORD ComboIndex;
    char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
    char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
    UINT AddressLength;
    unsigned char Address[MAX_ADAPTER_ADDRESS_LENGTH];
    DWORD Index;
    UINT Type;
    UINT DhcpEnabled;
    IP_ADDR_STRING* CurrentIpAddress;
    IP_ADDR_STRING IpAddressList;
    IP_ADDR_STRING GatewayList;
    IP_ADDR_STRING DhcpServer;
    BOOL HaveWins;
    IP_ADDR_STRING PrimaryWinsServer;
    IP_ADDR_STRING SecondaryWinsServer;
    int64_t LeaseObtained;
    int64_t LeaseExpires;
};

#endif  // _WIN32

namespace platform {

#ifdef _WIN32

// Kernel32 and advapi32 are always taken from the system directory; they stay ordinary imports.
using ::ChangeServiceConfigA;
using ::CloseHandle;
using ::CloseServiceHandle;
using ::ControlService;
using ::CreateFileA;
using ::CreateThread;
using ::DeleteService;
using ::DeregisterEventSource;
using ::FormatMessageA;
using ::GetCurrentProcess;
using ::GetFileAttributesA;
using ::GetLastError;
using ::GetModuleFileNameA;
using ::GetPrivateProfileStringA;
using ::GetTickCount64;
using ::IsDBCSLeadByteEx;
using ::MultiByteToWideChar;
using ::OpenSCManagerA;
using ::OpenServiceA;
using ::QueryServiceStatus;
using ::RegCloseKey;
using ::RegCreateKeyExA;
using ::RegDeleteKeyExA;
using ::RegDeleteValueA;
using ::RegisterEventSourceA;
using ::RegOpenKeyExA;
using ::RegQueryValueExA;
using ::RegSetValueExA;
using ::ReportEventW;
using ::SetLastError;
using ::Sleep;
using ::TerminateProcess;
using ::WaitForSingleObject;
using ::WideCharToMultiByte;

#else

DWORD GetLastError();
void SetLastError(DWORD error);
void Sleep(DWORD milliseconds);
ULONGLONG GetTickCount64();
HANDLE CreateThread(void* threadAttributes, std::size_t stackSize, LPTHREAD_START_ROUTINE startAddress,
                    void* parameter, DWORD creationFlags, DWORD* threadId);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
HANDLE GetCurrentProcess();
BOOL TerminateProcess(HANDLE process, UINT exitCode);
DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size);
DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultText,
                               char* returned, DWORD size, const char* fileName);
BOOL IsDBCSLeadByteEx(UINT codePage, unsigned char testChar);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int multiByteCount, WCHAR* wideOut,
                        int wideCount);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount, char* multiByteOut,
                        int multiByteCount, const char* defaultChar, BOOL* usedDefaultChar);

SC_HANDLE OpenSCManagerA(const char* machineName, const char* databaseName, DWORD desiredAccess);
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                          const char* dependencies, const char* serviceStartName, const char* password,
                          const char* displayName);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

DWORD GetFileAttributesA(const char* fileName);
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, char* buffer,
                     DWORD size, void* arguments);

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                     REGSAM desired, void* securityAttributes, HKEY* result, DWORD* disposition);
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result);
LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LONG RegDeleteKeyExA(HKEY key, const char* subKey, REGSAM desired, DWORD reserved);
LONG RegDeleteValueA(HKEY key, const char* valueName);
LONG RegCloseKey(HKEY key);

HANDLE RegisterEventSourceA(const char* serverName, const char* sourceName);
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, void* userSid, WORD numStrings,
                  DWORD dataSize, const WCHAR** strings, void* rawData);
BOOL DeregisterEventSource(HANDLE eventLog);

#endif

// SetDefaultDllDirectories, taken from kernel32 at run time: Windows 7 has it only with KB2533623. Without
// it this fails with ERROR_PROC_NOT_FOUND, and every load searches as before.
BOOL SetDefaultDllDirectories(DWORD directoryFlags);

// WinINet's module, which holds the texts of its own error codes; null when it could not be loaded.
HMODULE WinInetModule();

// WinINet and IP Helper: on Windows these forward to the DLLs loaded from the system directory, and fail
// as the real call would fail when a DLL or an entry point is missing.
HINTERNET InternetOpenA(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                        DWORD flags);
BOOL InternetSetOptionA(HINTERNET internet, DWORD option, void* buffer, DWORD bufferLength);
HINTERNET InternetConnectA(HINTERNET session, const char* serverName, INTERNET_PORT serverPort,
                           const char* userName, const char* password, DWORD service, DWORD flags,
                           DWORD_PTR context);
HINTERNET HttpOpenRequestA(HINTERNET connection, const char* verb, const char* objectName,
                           const char* version, const char* referrer, const char** acceptTypes, DWORD flags,
                           DWORD_PTR context);
BOOL HttpSendRequestA(HINTERNET request, const char* headers, DWORD headersLength, void* optional,
                      DWORD optionalLength);
BOOL InternetQueryDataAvailable(HINTERNET file, DWORD* numberOfBytesAvailable, DWORD flags,
                                DWORD_PTR context);
BOOL InternetReadFile(HINTERNET file, void* buffer, DWORD numberOfBytesToRead, DWORD* numberOfBytesRead);
BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD* index);
ULONG GetAdaptersInfo(IP_ADAPTER_INFO* adapterInfo, ULONG* sizePointer);

}  // namespace platform
