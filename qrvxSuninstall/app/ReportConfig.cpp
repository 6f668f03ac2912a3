#include "app/ReportConfig.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/FixedText.h"

ConfigPaths* g_pConfigPaths = nullptr;
ReportSettings* g_pReportSettings = nullptr;

ConfigPaths::ConfigPaths() {
    char path[MAX_PATH] = {};
    platform::GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[MAX_PATH - 1] = '\0';

    // ASCII letters only: bytes of double-byte characters stay as they are.
    std::transform(std::begin(path), std::end(path), std::begin(path),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c; });
    char* lastBackslash = std::strrchr(path, '\\');
    if (lastBackslash != nullptr) {
        lastBackslash[1] = '\0';
    } else {
        path[0] = '\0';  // no directory known: the profile reader then looks in its own default place
    }

    CopyText(moduleDirectory, path);
    CopyText(fileName, "qrvxconfig.ini");
    CopyText(configurationPath, moduleDirectory);
    AppendText(configurationPath, fileName);
}

ReportSettings* LoadReportSettings(const ConfigPaths& configPaths) {
    ReportSettings* settings = new ReportSettings;
    CopyText(settings->configurationPath, configPaths.configurationPath);
    platform::GetPrivateProfileStringA("Configuration", "HostAddress", "0.0.0.0", settings->hostAddress,
                                       sizeof(settings->hostAddress), settings->configurationPath);
    return settings;
}
