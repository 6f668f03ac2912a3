#include "transport/ReportProtocol.h"

#include <cstdio>
#include <string>

#include "app/ReportConfig.h"

CHttpRequest* g_pHttpRequest = nullptr;

namespace {

// Sends only when connected; yes exactly when the whole reply is `expected`, byte for byte.
bool Exchange(const char* relativePath, const char* body, const char* expected) {
    std::string reply;
    if (g_pHttpRequest->m_bConnected) {
        g_pHttpRequest->SendPost(relativePath, reply, body);
    }
    return reply == expected;
}

}  // namespace

bool ConnectCheck() {
    return Exchange("Quorvex/connect_check.php", "", "CONNECTED");
}

bool RegisterCheck(const char* address) {
    char body[20];
    std::snprintf(body, sizeof(body), "m=%s", address);
    return Exchange("Quorvex/register_check.php", body, "REGISTERED");
}

bool MessagePost() {
    char body[64];
    // The address is 17 characters; the precision only tells the compiler so.
    std::snprintf(body, sizeof(body), "m=%.17s&d=SERVICE PROGRAM UNINSTALLED !!",
                  g_pReportSettings->reportedAdapterAddress);
    return Exchange("Quorvex/message_post.php", body, "TRUE");
}
