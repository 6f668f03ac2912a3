#include "transport/ReportProtocol.h"

#include <cstdio>
#include <string>

#include "config/ReportConfig.h"

CHttpRequest* g_pHttpRequest = nullptr;

namespace {

ExchangeListener g_listener = nullptr;

// Sends only when connected; yes exactly when the whole reply is `expected`, byte for byte. The listener
// hears what came of it, for the adapter `address` of a check or the message.
bool Exchange(ExchangeKind kind, const char* relativePath, const char* body, const char* expected,
              const char* address) {
    std::string reply;
    ExchangeResult result = {ExchangeOutcome::kNotSent, ERROR_SUCCESS};
    if (g_pHttpRequest->m_bConnected) {
        const ULONGLONG began = platform::GetTickCount64();
        g_pHttpRequest->SendPost(relativePath, reply, body);
        result = g_pHttpRequest->m_lastExchange;
        result.elapsedMs = platform::GetTickCount64() - began;
    }
    const bool yes = reply == expected;
    if (g_listener != nullptr) {
        g_listener(kind, address, result, reply, yes);
    }
    return yes;
}

}  // namespace

void SetExchangeListener(ExchangeListener listener) {
    g_listener = listener;
}

bool ConnectCheck() {
    return Exchange(ExchangeKind::kConnect, "Quorvex/connect_check.php", "", "CONNECTED", "");
}

bool RegisterCheck(const char* address) {
    char body[20];
    std::snprintf(body, sizeof(body), "m=%s", address);
    return Exchange(ExchangeKind::kRegister, "Quorvex/register_check.php", body, "REGISTERED", address);
}

bool MessagePost() {
    char body[64];
    // The address is 17 characters; the precision only tells the compiler so.
    std::snprintf(body, sizeof(body), "m=%.17s&d=SERVICE PROGRAM UNINSTALLED !!",
                  g_pReportSettings->reportedAdapterAddress);
    return Exchange(ExchangeKind::kMessage, "Quorvex/message_post.php", body, "TRUE",
                    g_pReportSettings->reportedAdapterAddress);
}
