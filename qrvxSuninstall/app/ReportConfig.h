// Where the configuration file is, and what the report takes from it.
#pragma once

#include "platform/Win32.h"

struct ConfigPaths {
    // Finds qrvxconfig.ini in the running program's directory.
    ConfigPaths();

    char moduleDirectory[MAX_PATH];  // lower-cased, with its trailing backslash
    char fileName[MAX_PATH];
    char configurationPath[MAX_PATH];
};

struct ReportSettings {
    char configurationPath[MAX_PATH];
    char hostAddress[32];
    char reportedAdapterAddress[32];
};

// Both set once by the report flow and kept to the end of the process.
extern ConfigPaths* g_pConfigPaths;
extern ReportSettings* g_pReportSettings;

// Reads HostAddress of section Configuration ("0.0.0.0" when missing) into a new record the caller keeps.
ReportSettings* LoadReportSettings(const ConfigPaths& configPaths);
