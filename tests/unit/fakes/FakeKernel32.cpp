#include "fakes/FakeKernel32.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fake {

Kernel32 kernel32;
// NOLINTNEXTLINE(performance-no-int-to-ptr): the pseudo-handle Windows gives, only compared
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
// NOLINTNEXTLINE(performance-no-int-to-ptr): only compared
HMODULE const kWinInetModule = reinterpret_cast<HMODULE>(static_cast<intptr_t>(0x1E7000));
HANDLE const kOpenFile = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0xF11E));

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;

// Copies at most size - 1 bytes and terminates, as the real calls do; returns the count copied.
DWORD CopyOut(const std::string& text, char* out, DWORD size) {
    if (size == 0) {
        return 0;
    }
    DWORD count = static_cast<DWORD>(std::min<std::size_t>(text.size(), size - 1));
    std::memcpy(out, text.data(), count);
    out[count] = '\0';
    return count;
}
}  // namespace

void ResetKernel32() {
    kernel32 = Kernel32();
    lastError = ERROR_SUCCESS;
}

}  // namespace fake

namespace platform {

DWORD GetLastError() {
    return fake::lastError;
}

void SetLastError(DWORD error) {
    fake::lastError = error;
}

void Sleep(DWORD milliseconds) {
    fake::kernel32.sleeps.push_back(milliseconds);
    fake::kernel32.tickCount += milliseconds;
    // Nothing really waits here, so an unbounded wait would spin for ever instead of failing.
    if (fake::kernel32.sleeps.size() > 100000) {
        std::fprintf(stderr, "fake Sleep: unbounded wait\n");
        std::abort();
    }
}

ULONGLONG GetTickCount64() {
    ULONGLONG now = fake::kernel32.tickCount;
    fake::kernel32.tickCount += fake::kernel32.tickStep;
    return now;
}

HANDLE CreateThread(void* /*threadAttributes*/, std::size_t stackSize, LPTHREAD_START_ROUTINE startAddress,
                    void* parameter, DWORD creationFlags, DWORD* /*threadId*/) {
    fake::kernel32.threadArgs.emplace_back(stackSize, creationFlags);
    if (fake::kernel32.threadsFail) {
        return nullptr;
    }
    if (fake::kernel32.threadsHang) {
        fake::kernel32.hanging.emplace_back(startAddress, parameter);
    } else {
        startAddress(parameter);
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): fake handles are only compared, never dereferenced
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7000 + ++fake::kernel32.threadsMade));
}

DWORD WaitForSingleObject(HANDLE /*handle*/, DWORD milliseconds) {
    fake::kernel32.waits.push_back(milliseconds);
    return fake::kernel32.threadsHang ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
    ++fake::kernel32.handlesClosed;
    if (handle == fake::kOpenFile) {
        --fake::kernel32.filesOpen;
    }
    return TRUE;
}

HANDLE GetCurrentProcess() {
    return fake::kCurrentProcess;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
    fake::kernel32.terminations.emplace_back(process, exitCode);
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size) {
    ++fake::kernel32.moduleFileNameCalls;
    if (module != nullptr) {
        return 0;
    }
    fake::kernel32.moduleFileNameSizes.push_back(size);
    return fake::CopyOut(fake::kernel32.modulePath, fileName, size);
}

DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultText,
                               char* returned, DWORD size, const char* fileName) {
    fake::kernel32.profileReads.push_back({appName, keyName, defaultText, fileName, size});
    return fake::CopyOut(fake::kernel32.profileValue.value_or(defaultText), returned, size);
}

// Lead bytes of code page 949; no ASCII byte is one.
BOOL IsDBCSLeadByteEx(UINT /*codePage*/, unsigned char testChar) {
    return testChar >= 0x81 && testChar <= 0xFE;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int multiByteCount, WCHAR* wideOut,
                        int wideCount) {
    fake::kernel32.toWide.push_back({codePage, flags, multiByteCount, wideCount, false});
    int count = multiByteCount < 0 ? static_cast<int>(std::strlen(multiByte)) + 1 : multiByteCount;
    if (wideCount == 0) {
        return count;  // the size the text needs
    }
    count = std::min(count, wideCount);
    for (int i = 0; i < count; ++i) {
        wideOut[i] = static_cast<unsigned char>(multiByte[i]);
    }
    return count;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount, char* multiByteOut,
                        int multiByteCount, const char* defaultChar, BOOL* usedDefaultChar) {
    fake::kernel32.toNarrow.push_back(
        {codePage, flags, wideCount, multiByteCount, defaultChar != nullptr || usedDefaultChar != nullptr});
    int count = std::min(wideCount, multiByteCount);
    for (int i = 0; i < count; ++i) {
        multiByteOut[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
    }
    return count;
}

DWORD GetFileAttributesA(const char* fileName) {
    if (fake::kernel32.missingFiles.count(fileName) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return fake::kernel32.directories.count(fileName) != 0 ? FILE_ATTRIBUTE_DIRECTORY : 0x80;
}

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    fake::kernel32.fileOpens.push_back({fileName, desiredAccess, shareMode, creationDisposition,
                                        flagsAndAttributes,
                                        securityAttributes != nullptr || templateFile != nullptr});
    const auto refused = fake::kernel32.openErrors.find(fileName);
    if (fake::kernel32.missingFiles.count(fileName) != 0 || refused != fake::kernel32.openErrors.end()) {
        SetLastError(refused != fake::kernel32.openErrors.end() ? refused->second : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ++fake::kernel32.filesOpen;
    return fake::kOpenFile;
}

DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD /*languageId*/, char* buffer,
                     DWORD size, void* /*arguments*/) {
    fake::kernel32.messageLookups.emplace_back(flags, source);
    auto found = fake::kernel32.messages.find(messageId);
    // WinINet's texts are only in its own module.
    const bool fromWinInet = (flags & FORMAT_MESSAGE_FROM_HMODULE) != 0 && source == fake::kWinInetModule;
    if (found == fake::kernel32.messages.end() || (messageId >= 12000 && messageId < 13000 && !fromWinInet)) {
        SetLastError(317);  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    // As the system's texts come: with a line end.
    return fake::CopyOut(found->second + "\r\n", buffer, size);
}

BOOL SetDefaultDllDirectories(DWORD directoryFlags) {
    fake::kernel32.dllDirectories.emplace_back(directoryFlags, fake::kernel32.moduleFileNameCalls);
    if (fake::kernel32.noDllDirectories) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

HMODULE WinInetModule() {
    return fake::kWinInetModule;
}

}  // namespace platform
