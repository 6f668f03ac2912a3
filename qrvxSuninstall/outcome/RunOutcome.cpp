#include "outcome/RunOutcome.h"

#include <algorithm>
#include <string>
#include <vector>

#include "outcome/KeptOutcome.h"

namespace {

// Event Viewer and Get-WinEvent build an event's description from the message file of its source, which the
// registry names. EventCreate.exe, in the system directory of every Windows, has one whose text is the
// event's one string for each ID from 1 to 1000: so the description is ours, and nothing points at this
// program's folder, which is deleted after a run.
const char kEventSource[] = "qrvxSuninstall";
const char kEventSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qrvxSuninstall";
const char kEventMessageFile[] = "%SystemRoot%\\System32\\EventCreate.exe";
const DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

LONG SetText(HKEY key, const char* name, DWORD type, const std::string& text) {
    return platform::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>(text.size() + 1));
}

LONG SetNumber(HKEY key, const char* name, DWORD value) {
    return platform::RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                    sizeof(value));
}

void RegisterSource() {
    HKEY key = nullptr;
    if (platform::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;  // the event is still written, without its description
    }
    SetText(key, "EventMessageFile", REG_EXPAND_SZ, kEventMessageFile);
    SetNumber(key, "TypesSupported", kTypesSupported);
    platform::RegCloseKey(key);
}

WORD EventType(DWORD eventId) {
    switch (eventId) {
        case kEventTold:
            return EVENTLOG_INFORMATION_TYPE;
        case kEventStillInstalled:
            return EVENTLOG_ERROR_TYPE;
        default:
            return EVENTLOG_WARNING_TYPE;
    }
}

// The event's one string, in UTF-16 from the ANSI code page. Event Viewer takes "%n" in a string it is given
// for an insertion of its own (ReportEvent's page), and the text holds what the program does not choose: the
// configured address, the server's replies. A word joiner after every "%" keeps each a percent sign as it
// shows, invisibly; the kept record has the text as it is.
std::vector<WCHAR> EventString(const std::string& text) {
    const int units = platform::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::vector<WCHAR> wide(units > 0 ? static_cast<std::size_t>(units) : 1);
    if (units <= 0 ||
        platform::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), units) != units) {
        wide.assign(1, 0);
    }
    const WCHAR percent = static_cast<WCHAR>('%');
    const WCHAR wordJoiner = static_cast<WCHAR>(0x2060);
    std::vector<WCHAR> shown;
    shown.reserve(wide.size() + static_cast<std::size_t>(std::count(wide.begin(), wide.end(), percent)));
    for (WCHAR unit : wide) {
        shown.push_back(unit);
        if (unit == percent) {
            shown.push_back(wordJoiner);
        }
    }
    return shown;
}

void WriteEvent(DWORD eventId, const std::string& text) {
    RegisterSource();
    HANDLE source = platform::RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) {
        return;
    }
    const std::vector<WCHAR> shown = EventString(text);
    const WCHAR* strings[] = {shown.data()};
    platform::ReportEventW(source, EventType(eventId), 0, eventId, nullptr, 1, 0, strings, nullptr);
    platform::DeregisterEventSource(source);
}

// The report's word goes first and comes back last: a record that could not be written whole has none, and
// tells nothing, rather than the word of the run before.
void KeepOutcome(DWORD eventId, ReportOutcome outcome, const std::string& text) {
    HKEY key = nullptr;
    if (platform::RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeptOutcome::kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE | KeptOutcome::kView, nullptr, &key,
                                  nullptr) != ERROR_SUCCESS) {
        return;
    }
    const LONG deleted = platform::RegDeleteValueA(key, KeptOutcome::kReportValue);
    if ((deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) &&
        SetNumber(key, KeptOutcome::kOutcomeValue, eventId) == ERROR_SUCCESS &&
        SetText(key, KeptOutcome::kTextValue, REG_SZ, text) == ERROR_SUCCESS) {
        SetText(key, KeptOutcome::kReportValue, REG_SZ, KeptOutcome::kReportWords[static_cast<int>(outcome)]);
    }
    platform::RegCloseKey(key);
}

}  // namespace

void TellRunOutcome(const RunRecord& record) {
    const DWORD eventId = GetEventId(record);
    const std::string text = DescribeRun(record);
    WriteEvent(eventId, text);
    KeepOutcome(eventId, GetReportOutcome(record), text);
}
