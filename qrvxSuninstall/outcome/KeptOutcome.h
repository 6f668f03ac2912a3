// Where each run leaves its outcome on the machine, for the launcher's check and for detection rules: values
// of one key under HKLM\SOFTWARE, which only administrators and SYSTEM can write, in the 64-bit view
// whichever program reads or writes it. Each run replaces them.
#pragma once

#include "platform/Win32.h"

namespace KeptOutcome {

inline constexpr char kKey[] = "SOFTWARE\\qrvxSuninstall";
// The key in every view of the registry: an x86 program on 64-bit Windows would otherwise use WOW6432Node.
inline constexpr REGSAM kView = KEY_WOW64_64KEY;

// REG_SZ: what the server was told, one of the words below; the launcher's check reads this value alone.
inline constexpr char kReportValue[] = "Report";
// REG_DWORD: the ID of the run's event in the Application log, which names the whole outcome.
inline constexpr char kOutcomeValue[] = "Outcome";
// REG_SZ: the event's text, the whole record in words.
inline constexpr char kTextValue[] = "Text";

inline constexpr char kTold[] = "told";                     // the message was answered TRUE
inline constexpr char kNotRegistered[] = "not registered";  // the server knows none of the adapters
inline constexpr char kNotTold[] = "not told";              // not reached, or not answered as it should be
inline constexpr char kNoServer[] = "no server";            // qrvxconfig.ini names none

}  // namespace KeptOutcome

// What the server was told.
enum class ReportOutcome {
    kTold,           // the message was answered TRUE
    kNotRegistered,  // every adapter was asked about and none is registered: nothing to tell
    kNotTold,        // not reached, not answered in time, no CONNECTED, the message not answered TRUE
    kNoServer,       // the configuration names no server
};

namespace KeptOutcome {

// The word of each ReportOutcome, in its order: the one table that the run writes by and the check reads by.
inline constexpr const char* kReportWords[] = {kTold, kNotRegistered, kNotTold, kNoServer};
static_assert(sizeof(kReportWords) / sizeof(kReportWords[0]) ==
                  static_cast<int>(ReportOutcome::kNoServer) + 1,
              "a word for each outcome");

}  // namespace KeptOutcome
