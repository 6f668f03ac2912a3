// The kernel32 calls of platform/Win32.h: a per-thread last error, a scripted program path and profile
// value, a Sleep that only records and moves the clock on, and code-page conversions that carry ASCII over.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Win32.h"

namespace fake {

// The arguments of one GetPrivateProfileStringA call.
struct ProfileRead {
    std::string section, key, defaultText, file;
    DWORD size = 0;
};

// The arguments of one CreateFileA call.
struct FileOpen {
    std::string file;
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
    bool securityOrTemplate = false;
};

// The arguments of one code-page conversion, either way.
struct Conversion {
    UINT codePage = 0;
    DWORD flags = 0;
    int inCount = 0, outCount = 0;
    bool defaultsAsked = false;  // WideCharToMultiByte's default character or its used-default flag
};

struct Kernel32 {
    std::string modulePath = "C:\\Tools\\qrvxSuninstall.exe";
    std::optional<std::string> profileValue;  // none: the profile reader hands back the default
    int moduleFileNameCalls = 0;
    std::vector<DWORD> moduleFileNameSizes;  // with no module handle; another handle fails the call
    std::vector<ProfileRead> profileReads;
    std::vector<Conversion> toWide, toNarrow;
    std::vector<DWORD> sleeps;

    // Threads run to their end as they are made, unless they hang: then they wait in `hanging` and every
    // wait for them times out.
    bool threadsHang = false;
    bool threadsFail = false;                               // no thread can be made at all
    std::vector<std::pair<std::size_t, DWORD>> threadArgs;  // the stack size and creation flags of each
    std::vector<std::pair<LPTHREAD_START_ROUTINE, void*>> hanging;
    std::vector<DWORD> waits;  // the time-out of each wait
    int threadsMade = 0, handlesClosed = 0;

    std::vector<std::pair<HANDLE, UINT>> terminations;  // recorded; the process goes on

    std::set<std::string> missingFiles;  // every other path is a file that is there
    // Why CreateFileA cannot open a file that is there (a sharing violation, access denied); the arguments
    // of each open, and the files still open.
    std::map<std::string, DWORD> openErrors;
    std::vector<FileOpen> fileOpens;
    int filesOpen = 0;
    std::set<std::string> directories;
    std::map<DWORD, std::string> messages;  // the system's texts, as FormatMessageA gives them
    std::vector<std::pair<DWORD, const void*>> messageLookups;  // the flags and module of each
    // The flags of each SetDefaultDllDirectories, with how many other calls of a run (the program's path,
    // asked first of all) came before it.
    std::vector<std::pair<DWORD, int>> dllDirectories;
    bool noDllDirectories = false;  // Windows 7 without KB2533623

    ULONGLONG tickCount = 1000;
    ULONGLONG tickStep = 0;  // how far the clock moves at each reading
};

extern Kernel32 kernel32;
// What GetCurrentProcess gives: a pseudo-handle, as on Windows.
extern HANDLE const kCurrentProcess;
// What WinInetModule gives.
extern HMODULE const kWinInetModule;
// What CreateFileA gives for a file it opens.
extern HANDLE const kOpenFile;
void ResetKernel32();

}  // namespace fake
