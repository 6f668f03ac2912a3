#include "transport/HttpRequest.h"

#include <cstring>
#include <vector>

#include "common/FixedText.h"
#include "common/MultiByteText.h"
#include "transport/BomLength.h"

namespace {

const char kAgent[] = "ZelmarisHTTPRequest";
const char kScheme[] = "http://";
const char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded; ";

// Reload from the server, cache nothing, keep no cookies, follow no redirect, never show a dialog.
const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTO_REDIRECT |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                            INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_NO_UI;
static_assert(kRequestFlags == 0x8468C200u, "request flags");
static_assert(sizeof(kFormHeader) - 1 == 49, "form header length");

// Wine's WinINet, and some configurations of Windows', wait for ever on a server that accepts the
// connection and never answers. These are Windows' documented defaults, set so that they always hold.
const DWORD kConnectTimeoutMs = 60000;
const DWORD kSendTimeoutMs = 30000;
const DWORD kReceiveTimeoutMs = 30000;

void SetTimeout(HINTERNET request, DWORD option, DWORD milliseconds) {
    platform::InternetSetOptionA(request, option, &milliseconds, sizeof(milliseconds));
}

// A failing read that follows a successful one makes the loop ask again; this many in a row end it.
const int kMaxFailedReads = 8;

}  // namespace

CHttpRequest::CHttpRequest(const char* address)
    : m_szHost(), m_szBasePath(), m_hSession(nullptr), m_hConnection(nullptr), m_bConnected(false) {
    if (std::strncmp(address, kScheme, sizeof(kScheme) - 1) == 0) {
        address += sizeof(kScheme) - 1;
    }
    CopyText(m_szHost, address);

    char* slash = FindFirstChar(m_szHost, '/');
    if (slash != nullptr) {
        CopyText(m_szBasePath, slash + 1);
        *slash = '\0';
        std::size_t length = std::strlen(m_szBasePath);
        if (length == 0 || m_szBasePath[length - 1] != '/') {
            // A base path cut to the field gives up its last byte, so that the "/" always fits.
            if (length == sizeof(m_szBasePath) - 1) {
                m_szBasePath[length - 1] = '\0';
            }
            AppendText(m_szBasePath, "/");
        }
    }

    m_hSession = platform::InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (m_hSession == nullptr) {
        return;
    }
    m_hConnection = platform::InternetConnectA(m_hSession, m_szHost, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    if (m_hConnection != nullptr) {
        m_bConnected = true;
    }
}

void CHttpRequest::SendPost(const char* relativePath, std::string& reply, const char* body) {
    char path[64];
    CopyText(path, m_szBasePath);
    AppendText(path, relativePath[0] == '/' ? relativePath + 1 : relativePath);

    // Request handles are never closed: they end with the process, as the session and connection do.
    HINTERNET request =
        platform::HttpOpenRequestA(m_hConnection, "POST", path, nullptr, nullptr, nullptr, kRequestFlags, 0);
    if (request == nullptr) {
        return;
    }
    // Set on the request itself: Wine ignores a session's send and receive time-outs.
    SetTimeout(request, INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
    SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);
    SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);
    if (!platform::HttpSendRequestA(request, kFormHeader, sizeof(kFormHeader) - 1, const_cast<char*>(body),
                                    static_cast<DWORD>(std::strlen(body)))) {
        return;
    }

    const std::size_t replyStart = reply.size();
    std::size_t received = 0;
    int failedReads = 0;
    DWORD available = 0;
    DWORD read = 0;
    do {
        if (!platform::InternetQueryDataAvailable(request, &available, 0, 0)) {
            break;
        }
        if (received + available > kMaxReplyBytes) {
            // One byte past the bound is enough to know the body is too long; read no more than that.
            available = static_cast<DWORD>(kMaxReplyBytes + 1 - received);
        }
        std::vector<char> buffer(static_cast<std::size_t>(available) + 1);
        DWORD count = 0;
        if (platform::InternetReadFile(request, buffer.data(), available, &count)) {
            if (count > available) {
                count = available;
            }
            buffer[count] = '\0';
            reply.append(buffer.data());  // up to the chunk's first NUL byte
            received += count;
            read = count;
            failedReads = 0;
        } else if (++failedReads >= kMaxFailedReads) {
            break;
        }
        if (received > kMaxReplyBytes) {
            reply.resize(replyStart);  // too long to be any reply word: as if nothing had come
            return;
        }
    } while (read != 0);

    reply = reply.substr(GetBomLength(reply));
}
