#include "config/ReportConfig.h"

#include <cstring>

#include "common/FixedText.h"

ConfigPaths* g_pConfigPaths = nullptr;
ReportSettings* g_pReportSettings = nullptr;

ConfigPaths::ConfigPaths() {
    char path[MAX_PATH] = {};
    platform::GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[MAX_PATH - 1] = '\0';

    // ASCII letters only: both bytes of a double-byte character stay as they are, as its trail byte may
    // fall among "A" to "Z" and would then name another character, and another folder.
    for (char* p = path; *p != '\0'; ++p) {
        if (platform::IsDBCSLeadByteEx(CP_ACP, static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
        } else if (*p >= 'A' && *p <= 'Z') {
            *p = static_cast<char>(*p + ('a' - 'A'));
        }
    }
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
    const DWORD copied =
        platform::GetPrivateProfileStringA("Configuration", "HostAddress", "0.0.0.0", settings->hostAddress,
                                           sizeof(settings->hostAddress), settings->configurationPath);
    // The reader cuts a value that does not fit and then says it copied size - 1 bytes.
    settings->hostAddressTooLong = copied >= sizeof(settings->hostAddress) - 1;
    if (settings->hostAddressTooLong) {
        settings->hostAddress[0] = '\0';
    }
    return settings;
}

DWORD GetConfigurationReadError(const char* configurationPath) {
    HANDLE file = platform::CreateFileA(configurationPath, GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return platform::GetLastError();
    }
    platform::CloseHandle(file);
    return ERROR_SUCCESS;
}
