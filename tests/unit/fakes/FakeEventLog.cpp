#include "fakes/FakeEventLog.h"

#include <cstdint>

namespace fake {

EventLog eventLog;

namespace {
std::vector<std::string> sources;  // by handle, from 1
}

// As the fake kernel32 widens each ANSI byte to a unit of its own: each unit below 0x100 back to its byte,
// any other in UTF-8, so that a test can look for it.
std::string Narrow(const WCHAR* text) {
    std::string narrow;
    for (; *text != 0; ++text) {
        const unsigned unit = *text;
        if (unit < 0x100) {
            narrow += static_cast<char>(unit);
        } else if (unit < 0x800) {
            narrow += static_cast<char>(0xC0 | (unit >> 6));
            narrow += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            narrow += static_cast<char>(0xE0 | (unit >> 12));
            narrow += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return narrow;
}

void ResetEventLog() {
    eventLog = EventLog();
    sources.clear();
}

}  // namespace fake

namespace platform {

using fake::eventLog;

HANDLE RegisterEventSourceA(const char* serverName, const char* sourceName) {
    eventLog.sourcesRegistered.push_back(std::string(serverName != nullptr ? "(server) " : "") + sourceName);
    if (eventLog.registerFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    fake::sources.push_back(sourceName);
    ++eventLog.sourcesOpen;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): fake handles are only compared, never dereferenced
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(fake::sources.size()));
}

BOOL ReportEventW(HANDLE eventLogHandle, WORD type, WORD category, DWORD eventId, void* userSid,
                  WORD numStrings, DWORD dataSize, const WCHAR** strings, void* rawData) {
    const uintptr_t index = reinterpret_cast<uintptr_t>(eventLogHandle);
    if (index < 1 || index > fake::sources.size() || eventLog.reportFails) {
        return FALSE;
    }
    fake::Event event;
    event.source = fake::sources[index - 1];
    event.type = type;
    event.category = category;
    event.id = eventId;
    event.userSid = userSid != nullptr;
    event.rawData = rawData != nullptr || dataSize != 0;
    for (WORD i = 0; i < numStrings; ++i) {
        event.strings.push_back(fake::Narrow(strings[i]));
    }
    eventLog.events.push_back(event);
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE /*eventLogHandle*/) {
    --eventLog.sourcesOpen;
    return TRUE;
}

}  // namespace platform
