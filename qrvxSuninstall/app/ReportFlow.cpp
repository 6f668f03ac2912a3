#include "app/ReportFlow.h"

#include "adapter/ServiceUtility.h"
#include "config/ReportConfig.h"
#include "outcome/RunRecord.h"
#include "transport/ReportProtocol.h"

// The base path of any value the configuration passes on fits the client's field whole, its "/" included;
// a host name past the platform's 255 bytes is the client's to refuse.
static_assert(kMaxHostAddressBytes < kBasePathCapacity, "base path of the longest HostAddress");

bool FindRegisteredAdapter(WCHAR* wideOut) {
    int index = 0;
    const int count = CServiceUtility::GetAdapterCount();
    RecordAdapterCount(count, CServiceUtility::ListError);
    if (count <= 0) {
        return false;
    }
    for (;;) {
        // An adapter list that cannot be read any more leaves no address, and nothing is asked about it.
        wideOut[0] = 0;
        CServiceUtility::GetAdapterAddress(wideOut, index);
        char address[32] = {};
        platform::WideCharToMultiByte(CP_ACP, 0, wideOut, kAdapterAddressUnits, address, kAdapterAddressUnits,
                                      nullptr, nullptr);
        if (address[0] == '\0') {
            RecordAdapterUnread();
        } else if (RegisterCheck(address)) {
            return true;
        }
        ++index;
        const int recount = CServiceUtility::GetAdapterCount();
        RecordAdapterRecount(recount);
        if (index >= recount) {
            break;
        }
    }
    // Since Windows 10 the list's order is not fixed, and adapters come and go (a VPN, Wi-Fi): only the
    // list as it is now says whether every adapter was asked about.
    char after[kComparedAdapters][kAdapterAddressUnits] = {};
    const int afterCount = CServiceUtility::GetAdapterAddresses(after, kComparedAdapters);
    RecordAdaptersAfterSweep(after, afterCount, CServiceUtility::ListError);
    return false;
}

void PrepareReport(ULONGLONG deadline, ExchangeListener listener) {
    g_pConfigPaths = new ConfigPaths;
    // The profile reader says nothing of a file it did not find, or could not read: it gives the default
    // all the same. So the file is looked at first.
    const DWORD attributes = platform::GetFileAttributesA(g_pConfigPaths->configurationPath);
    const bool found = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const DWORD readError =
        found ? GetConfigurationReadError(g_pConfigPaths->configurationPath) : ERROR_SUCCESS;
    g_pReportSettings = LoadReportSettings(*g_pConfigPaths);
    RecordConfiguration(*g_pReportSettings, found, readError);
    g_pHttpRequest = new CHttpRequest(g_pReportSettings->hostAddress);
    g_pHttpRequest->SetDeadline(deadline);
    RecordClient(*g_pHttpRequest);
    SetExchangeListener(listener);
}

bool FindReportedAdapter() {
    if (!ConnectCheck()) {
        return false;
    }
    // Cleared, so that an adapter list that cannot be read between two calls leaves an empty address.
    WCHAR address[kAdapterAddressUnits] = {};
    if (!FindRegisteredAdapter(address)) {
        return false;
    }
    platform::WideCharToMultiByte(CP_ACP, 0, address, kAdapterAddressUnits,
                                  g_pReportSettings->reportedAdapterAddress, kAdapterAddressUnits, nullptr,
                                  nullptr);
    return true;
}

void ReportUninstall() {
    // Each exchange is bounded, but a server that answers every one of them late would still hold the
    // run for as many exchanges as there are adapters.
    PrepareReport(platform::GetTickCount64() + kReportDeadlineMs, RecordExchange);
    if (FindReportedAdapter()) {
        MessagePost();
    }
}
