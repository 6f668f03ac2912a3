// The event log: records each source registered and each event reported, strings and all.
#pragma once

#include <string>
#include <vector>

#include "platform/Win32.h"

namespace fake {

struct Event {
    std::string source;
    WORD type = 0, category = 0;
    DWORD id = 0;
    bool userSid = false, rawData = false;
    std::vector<std::string> strings;  // as Narrow() gives them back
};

struct EventLog {
    bool registerFails = false, reportFails = false;
    std::vector<std::string> sourcesRegistered;
    std::vector<Event> events;
    int sourcesOpen = 0;
};

extern EventLog eventLog;
void ResetEventLog();
std::string Narrow(const WCHAR* text);

}  // namespace fake
