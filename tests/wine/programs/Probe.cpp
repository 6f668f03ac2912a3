// Drives the program's transport and adapter code on the real platform, for the tests:
//   qrvxprobe.exe post ADDRESS RELATIVE_PATH BODY   one SendPost; prints "connected N", "reply HEX",
//                                                   "outcome N error E" (what the client says came of it)
//                                                   and "peak_kib N" (the process's peak working set)
//   qrvxprobe.exe trust CERTIFICATE                 adds the DER certificate to the machine's trusted roots
//   qrvxprobe.exe adapters                          prints "count N", then "address I TEXT" for each index
//                                                   from 0 to N (one past the end)
//   qrvxprobe.exe query SERVICE                     prints "state N", or "error N" when it cannot be read
//   qrvxprobe.exe query SERVICE UNTIL SECONDS       asks every 50 ms until the answer is "state UNTIL" (or,
//                                                   with UNTIL "gone", "error 1060"), for SECONDS at most;
//                                                   prints the last answer. One process for a whole wait:
//                                                   each Wine process costs a busy machine more than the
//                                                   wait itself
//   qrvxprobe.exe control SERVICE stop|interrogate  one ControlService; prints "returned B error N state S
//                                                   ms T": its result, the last error (0 on success), the
//                                                   state in the record it filled (0 if none) and its time
//   qrvxprobe.exe load NAME                         loads NAME by bare name, as an ordinary import would
//                                                   be found; shows that a planted DLL can be noticed
//   qrvxprobe.exe hold SERVICE UNTIL                holds a handle to SERVICE, as the Services console
//                                                   would, from "held" on its output until the file UNTIL
//                                                   exists (two minutes at most)
//   qrvxprobe.exe lock FILE UNTIL                   holds FILE open with no sharing, as a scanner or an
//                                                   unfinished copy may, from "held" on, likewise
#include <windows.h>
// These need the types of windows.h.
#include <psapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "adapter/ServiceUtility.h"
#include "transport/HttpRequest.h"

namespace {

int Post(const char* address, const char* relativePath, const char* body) {
    CHttpRequest request(address);
    std::printf("connected %d\n", request.m_bConnected ? 1 : 0);
    std::string reply;
    if (request.m_bConnected) {
        request.SendPost(relativePath, reply, body);
    }
    std::printf("reply ");
    for (unsigned char c : reply) {
        std::printf("%02x", c);
    }
    std::printf("\n");
    std::printf("outcome %d error %lu\n", static_cast<int>(request.m_lastExchange.outcome),
                static_cast<unsigned long>(request.m_lastExchange.error));
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        std::printf("peak_kib %lu\n", static_cast<unsigned long>(counters.PeakWorkingSetSize / 1024));
    }
    return 0;
}

// Into the LocalMachine Root store, where WinINet looks for the roots it trusts.
int Trust(const char* path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    const BOOL added =
        store != nullptr && !der.empty() &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    std::printf("trusted %d error %lu\n", added ? 1 : 0,
                static_cast<unsigned long>(added ? 0 : GetLastError()));
    if (store != nullptr) {
        CertCloseStore(store, 0);
    }
    return added ? 0 : 1;
}

// The service's state, or 0 and the error. Each look opens the service anew: a deleted service lingers
// while any handle to it is open, this process's own among them.
DWORD Look(const char* name, DWORD* error) {
    *error = 0;
    SERVICE_STATUS status = {};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceA(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    if (service == nullptr || !QueryServiceStatus(service, &status)) {
        *error = GetLastError();
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return *error != 0 ? 0 : status.dwCurrentState;
}

int Query(const char* name, const char* until = nullptr, const char* seconds = nullptr) {
    const bool gone = until != nullptr && std::strcmp(until, "gone") == 0;
    const DWORD wanted = until != nullptr && !gone ? std::strtoul(until, nullptr, 10) : 0;
    const ULONGLONG deadline =
        GetTickCount64() + (seconds != nullptr ? std::strtoull(seconds, nullptr, 10) : 0) * 1000;
    DWORD error = 0;
    DWORD state = Look(name, &error);
    while (until != nullptr &&
           !(gone ? error == ERROR_SERVICE_DOES_NOT_EXIST : error == 0 && state == wanted) &&
           GetTickCount64() < deadline) {
        Sleep(50);
        state = Look(name, &error);
    }
    if (error != 0) {
        std::printf("error %lu\n", static_cast<unsigned long>(error));
    } else {
        std::printf("state %lu\n", static_cast<unsigned long>(state));
    }
    return 0;
}

int Control(const char* name, const char* verb) {
    DWORD control = std::strcmp(verb, "stop") == 0 ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_INTERROGATE;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr
            ? OpenServiceA(manager, name, SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_QUERY_STATUS)
            : nullptr;
    if (service == nullptr) {
        std::printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
    } else {
        SERVICE_STATUS status = {};
        ULONGLONG started = GetTickCount64();
        SetLastError(0);
        BOOL returned = ControlService(service, control, &status);
        DWORD error = returned ? 0 : GetLastError();
        ULONGLONG elapsed = GetTickCount64() - started;
        std::printf("returned %d error %lu state %lu ms %llu\n", returned ? 1 : 0,
                    static_cast<unsigned long>(error), static_cast<unsigned long>(status.dwCurrentState),
                    static_cast<unsigned long long>(elapsed));
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return 0;
}

// Says "held", then waits until the file `until` exists, two minutes at most.
void Held(const char* until) {
    std::printf("held\n");
    std::fflush(stdout);
    for (int poll = 0; poll < 1200 && GetFileAttributesA(until) == INVALID_FILE_ATTRIBUTES; ++poll) {
        Sleep(100);
    }
}

int Lock(const char* path, const char* until) {
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 0;
    }
    Held(until);
    CloseHandle(file);
    return 0;
}

int Hold(const char* name, const char* until) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceA(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    if (service == nullptr) {
        std::printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
    } else {
        Held(until);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return 0;
}

int Adapters() {
    int count = CServiceUtility::GetAdapterCount();
    std::printf("count %d\n", count);
    for (int index = 0; index <= count; ++index) {
        // A marker that shows whether the call wrote anything at all.
        WCHAR wide[kAdapterAddressUnits + 1] = {'u', 'n', 't', 'o', 'u', 'c', 'h', 'e', 'd', 0};
        CServiceUtility::GetAdapterAddress(wide, index);
        char narrow[kAdapterAddressUnits + 1] = {};
        WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof(narrow), nullptr, nullptr);
        std::printf("address %d %s\n", index, narrow);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "post") == 0) {
        return Post(argv[2], argv[3], argv[4]);
    }
    if (argc == 3 && std::strcmp(argv[1], "query") == 0) {
        return Query(argv[2]);
    }
    if (argc == 5 && std::strcmp(argv[1], "query") == 0) {
        return Query(argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && std::strcmp(argv[1], "control") == 0 &&
        (std::strcmp(argv[3], "stop") == 0 || std::strcmp(argv[3], "interrogate") == 0)) {
        return Control(argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
        return Hold(argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "lock") == 0) {
        return Lock(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
        std::printf("loaded %d\n", LoadLibraryA(argv[2]) != nullptr ? 1 : 0);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "adapters") == 0) {
        return Adapters();
    }
    if (argc == 3 && std::strcmp(argv[1], "trust") == 0) {
        return Trust(argv[2]);
    }
    std::fprintf(
        stderr,
        "usage: qrvxprobe post ADDRESS PATH BODY | adapters | query SERVICE [UNTIL SECONDS] |\n"
        "       control SERVICE stop|interrogate | load NAME | hold SERVICE UNTIL | lock FILE UNTIL |\n"
        "       trust CERTIFICATE\n");
    return 2;
}
