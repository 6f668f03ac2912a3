// The kernel32 calls of platform/Win32.h: a per-thread last error, a scripted program path and profile
// value, a Sleep that only records, and code-page conversions that carry ASCII over.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Win32.h"

namespace fake {

struct Kernel32 {
    std::string modulePath = "C:\\Tools\\qrvxSuninstall.exe";
    std::optional<std::string> profileValue;  // none: the profile reader hands back the default
    int moduleFileNameCalls = 0;
    std::vector<DWORD> sleeps;
};

extern Kernel32 kernel32;
void ResetKernel32();

}  // namespace fake
