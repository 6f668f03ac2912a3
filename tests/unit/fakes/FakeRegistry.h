// The registry as a map of keys to values, each key by its path under HKEY_LOCAL_MACHINE as given and the
// view it was asked in; records the access each open asked for. Any call can be made to fail.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/Win32.h"

namespace fake {

struct RegValue {
    DWORD type = 0;
    std::string data;  // the bytes as set, a string's terminator included

    bool operator==(const RegValue& other) const { return type == other.type && data == other.data; }
};

struct RegOpen {
    std::string path;
    REGSAM access = 0;
    bool create = false;
};

struct Registry {
    std::map<std::string, std::map<std::string, RegValue>> keys;
    std::vector<RegOpen> opens;
    std::vector<std::string> deletedKeys;  // each with the view its delete asked for: "path @0x100"
    LONG createError = ERROR_SUCCESS;
    LONG setError = ERROR_SUCCESS;  // every RegSetValueExA fails with it
    std::string setFailsFor;        // or only the set of this value name
    LONG deleteKeyError = ERROR_SUCCESS;
    int openKeys = 0;  // opened and not yet closed

    // The value's text, without the terminator it was set with; "" when absent.
    std::string Text(const std::string& key, const std::string& name) const;
    DWORD Number(const std::string& key, const std::string& name) const;
};

extern Registry registry;
void ResetRegistry();

}  // namespace fake
