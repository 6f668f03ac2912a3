#include "check/KeptReport.h"

#include <cstring>

#include "app/KeptOutcome.h"
#include "platform/Win32.h"

KeptReport ReadKeptReport() {
    HKEY key = nullptr;
    if (platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeptOutcome::kKey, 0,
                                KEY_QUERY_VALUE | KeptOutcome::kView, &key) != ERROR_SUCCESS) {
        return KeptReport::kUnknown;
    }
    // One byte more than the longest word and its terminator, which the value need not hold.
    char word[sizeof(KeptOutcome::kNotRegistered) + 1] = {};
    DWORD type = 0;
    DWORD size = sizeof(word) - 1;
    const LONG read = platform::RegQueryValueExA(key, KeptOutcome::kReportValue, nullptr, &type,
                                                 reinterpret_cast<BYTE*>(word), &size);
    platform::RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) {
        return KeptReport::kUnknown;
    }
    word[size < sizeof(word) ? size : sizeof(word) - 1] = '\0';
    const struct {
        const char* word;
        KeptReport report;
    } known[] = {
        {KeptOutcome::kTold, KeptReport::kTold},
        {KeptOutcome::kNotRegistered, KeptReport::kNotRegistered},
        {KeptOutcome::kNotTold, KeptReport::kNotTold},
        {KeptOutcome::kNoServer, KeptReport::kNoServer},
    };
    for (const auto& entry : known) {
        if (std::strcmp(word, entry.word) == 0) {
            return entry.report;
        }
    }
    return KeptReport::kUnknown;
}

bool ForgetKeptOutcome() {
    const LONG deleted =
        platform::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, KeptOutcome::kKey, KeptOutcome::kView, 0);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}
