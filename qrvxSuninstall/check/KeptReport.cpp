#include "check/KeptReport.h"

#include <cstring>

#include "outcome/KeptOutcome.h"
#include "platform/Win32.h"

static_assert(KeptReportOf(ReportOutcome::kTold) == KeptReport::kTold &&
                  KeptReportOf(ReportOutcome::kNotRegistered) == KeptReport::kNotRegistered &&
                  KeptReportOf(ReportOutcome::kNotTold) == KeptReport::kNotTold &&
                  KeptReportOf(ReportOutcome::kNoServer) == KeptReport::kNoServer,
              "the kept words in the order of the run's outcomes");

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
    int outcome = 0;
    for (const char* known : KeptOutcome::kReportWords) {
        ++outcome;
        if (std::strcmp(word, known) == 0) {
            return static_cast<KeptReport>(outcome);
        }
    }
    return KeptReport::kUnknown;
}

bool ForgetKeptOutcome() {
    const LONG deleted =
        platform::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, KeptOutcome::kKey, KeptOutcome::kView, 0);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}
