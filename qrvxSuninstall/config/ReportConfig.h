// Where the configuration file is, and what the report takes from it.
#pragma once

#include <cstddef>

#include "platform/Win32.h"

struct ConfigPaths {
    // Finds qrvxconfig.ini in the running program's directory.
    ConfigPaths();

    char moduleDirectory[MAX_PATH];  // lower-cased, with its trailing backslash
    char fileName[MAX_PATH];
    char configurationPath[MAX_PATH];
};

// The longest HostAddress used: room for "http://", a host name as long as the platform takes (255 bytes),
// and a base path. A longer value is refused whole, never cut to the address of another server.
constexpr std::size_t kMaxHostAddressBytes = 511;

struct ReportSettings {
    char configurationPath[MAX_PATH];
    // One byte more than the longest value and its terminator: a value that fills it was cut by the reader.
    char hostAddress[kMaxHostAddressBytes + 2];
    char reportedAdapterAddress[32];
    bool hostAddressTooLong;  // the value was refused, and hostAddress left empty
};

// Both set once by the report flow and kept to the end of the process.
extern ConfigPaths* g_pConfigPaths;
extern ReportSettings* g_pReportSettings;

// Why the configuration file, which is there, cannot be read now: it is opened for reading as the profile
// reader opens it (sharing reading, writing and deletion, as Wine's does; Windows documents none), and
// closed again. ERROR_SUCCESS when it can be read; else,
// for example, ERROR_SHARING_VIOLATION while a scanner or an unfinished copy holds it without sharing,
// ERROR_ACCESS_DENIED, or a network error for a file on a share. The profile reader says none of this: it
// gives the default.
DWORD GetConfigurationReadError(const char* configurationPath);

// Reads HostAddress of section Configuration ("0.0.0.0" when missing) into a new record the caller keeps;
// a value longer than kMaxHostAddressBytes leaves it empty, which names no server.
ReportSettings* LoadReportSettings(const ConfigPaths& configPaths);
