#include "fakes/FakeRegistry.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace fake {

Registry registry;

namespace {

// Open keys are indexes into this list, from 1.
std::vector<std::string> handles;

HKEY Handle(std::size_t index) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): fake handles are only compared, never dereferenced
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(index + 1));
}

const std::string* PathOf(HKEY key) {
    const uintptr_t index = reinterpret_cast<uintptr_t>(key);
    return index >= 1 && index <= handles.size() ? &handles[index - 1] : nullptr;
}

}  // namespace

void ResetRegistry() {
    registry = Registry();
    handles.clear();
}

std::string Registry::Text(const std::string& key, const std::string& name) const {
    auto found = keys.find(key);
    if (found == keys.end() || found->second.count(name) == 0) {
        return "";
    }
    const std::string& data = found->second.at(name).data;
    return data.substr(0, data.find('\0'));
}

DWORD Registry::Number(const std::string& key, const std::string& name) const {
    auto found = keys.find(key);
    if (found == keys.end() || found->second.count(name) == 0 || found->second.at(name).data.size() != 4) {
        return 0;
    }
    DWORD value = 0;
    std::memcpy(&value, found->second.at(name).data.data(), sizeof(value));
    return value;
}

}  // namespace fake

namespace platform {

using fake::registry;

// Every reserved argument must be zero, and the options of an open too, as their pages say.
LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                     REGSAM desired, void* /*securityAttributes*/, HKEY* result, DWORD* /*disposition*/) {
    registry.opens.push_back({subKey, desired, true});
    if (reserved != 0 || keyClass != nullptr || options != REG_OPTION_NON_VOLATILE) {
        return ERROR_INVALID_PARAMETER;
    }
    if (key != HKEY_LOCAL_MACHINE || registry.createError != ERROR_SUCCESS) {
        return registry.createError != ERROR_SUCCESS ? registry.createError : ERROR_ACCESS_DENIED;
    }
    registry.keys[subKey];
    fake::handles.push_back(subKey);
    ++registry.openKeys;
    *result = fake::Handle(fake::handles.size() - 1);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result) {
    registry.opens.push_back({subKey, desired, false});
    if (options != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (key != HKEY_LOCAL_MACHINE || registry.keys.count(subKey) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    fake::handles.push_back(subKey);
    ++registry.openKeys;
    *result = fake::Handle(fake::handles.size() - 1);
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    const std::string* path = fake::PathOf(key);
    if (path == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (registry.setError != ERROR_SUCCESS &&
        (registry.setFailsFor.empty() || registry.setFailsFor == valueName)) {
        return registry.setError;
    }
    registry.keys[*path][valueName] = {type, std::string(reinterpret_cast<const char*>(data), size)};
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size) {
    const std::string* path = fake::PathOf(key);
    if (path == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto& values = registry.keys[*path];
    auto found = values.find(valueName);
    if (found == values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    *type = found->second.type;
    const std::string& bytes = found->second.data;
    // As Windows: the whole value or nothing, with the size it needs.
    if (bytes.size() > *size) {
        *size = static_cast<DWORD>(bytes.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<DWORD>(bytes.size());
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
    const std::string* path = fake::PathOf(key);
    if (path == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return registry.keys[*path].erase(valueName) != 0 ? ERROR_SUCCESS
                                                      : static_cast<LONG>(ERROR_FILE_NOT_FOUND);
}

LONG RegDeleteKeyExA(HKEY key, const char* subKey, REGSAM desired, DWORD reserved) {
    if (reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    char view[16];
    std::snprintf(view, sizeof(view), " @0x%X", static_cast<unsigned>(desired));
    registry.deletedKeys.push_back(subKey + std::string(view));
    if (registry.deleteKeyError != ERROR_SUCCESS) {
        return registry.deleteKeyError;
    }
    if (key != HKEY_LOCAL_MACHINE || registry.keys.erase(subKey) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (fake::PathOf(key) == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    --registry.openKeys;
    return ERROR_SUCCESS;
}

}  // namespace platform
