// Character search in texts of the ANSI code page, which may hold double-byte characters.
#pragma once

#include "platform/Win32.h"

// The first `wanted` character of `text` that is not the trail byte of a double-byte character, or null.
inline const char* FindFirstChar(const char* text, char wanted) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == wanted) {
            return p;
        }
        if (platform::IsDBCSLeadByteEx(CP_ACP, static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
        }
    }
    return nullptr;
}
