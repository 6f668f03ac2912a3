#include "transport/HttpRequest.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "common/FixedText.h"
#include "common/MultiByteText.h"
#include "transport/BomLength.h"

namespace {

const char kAgent[] = "ZelmarisHTTPRequest";
const char kPlainScheme[] = "http://";
const char kSecureScheme[] = "https://";
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

// A server that sends a byte every few seconds never trips the per-receive time-out above, and under Wine
// nothing wakes a send or a read blocked in WinINet, not even closing its handle. So each exchange runs on a
// thread of its own and the caller stops waiting for it at kExchangeDeadlineMs.

// One exchange, shared by the caller and the thread that performs it; the last of the two to let go of it
// releases it. A thread that stays blocked in WinINet keeps it to the end of the process, as it keeps the
// request handle. Its result is kPastExchangeDeadline until the thread says otherwise.
struct Exchange {
    HINTERNET request;
    std::string body;
    ULONGLONG deadline;
    ExchangeResult result;
    std::string reply;
    std::atomic<int> owners;
};

// Exchange threads that have not yet returned from WinINet.
std::atomic<int> g_runningExchanges{0};

void Release(Exchange* exchange) {
    if (exchange->owners.fetch_sub(1) == 1) {
        delete exchange;
    }
}

// Collects the body into `reply`, each chunk up to its first NUL byte, as long as it stays within
// kMaxReplyBytes and the deadline. A body that stops coming before its end (the receive time-out, a reset)
// is only part of a reply: `result` then says why, and how much came.
void ReadReply(HINTERNET request, ULONGLONG deadline, std::string& reply, ExchangeResult& result) {
    int failedReads = 0;
    DWORD available = 0;
    DWORD read = 0;
    std::size_t received = 0;
    bool ended = false;  // a read gave nothing: the end of the body
    do {
        if (platform::GetTickCount64() >= deadline) {
            result.outcome = ExchangeOutcome::kPastExchangeDeadline;
            return;
        }
        if (!platform::InternetQueryDataAvailable(request, &available, 0, 0)) {
            break;
        }
        if (available > kMaxReplyBytes - received) {  // received never passes the bound here
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
            ended = count == 0;
            failedReads = 0;
        } else if (++failedReads >= kMaxFailedReads) {
            break;
        }
        if (received > kMaxReplyBytes) {
            result.outcome =
                ExchangeOutcome::kTooLong;  // too long to be any reply word: as if nothing had come
            return;
        }
    } while (read != 0);  // a failed read is asked again only after data that came
    if (ended) {
        result.outcome = ExchangeOutcome::kAnswered;
        return;
    }
    // Left by a call that failed: the last error is this thread's own, read here or never.
    result.outcome = ExchangeOutcome::kCutShort;
    result.error = platform::GetLastError();
    result.bodyBytes = received;
}

// No Location a server sends is anywhere near this long; a longer one is only counted.
constexpr DWORD kMaxLocationBytes = 64 * 1024;

// The status line and, for a redirect, where it points: what a reply says besides its body. Both are in
// the headers, which have all come once the request is sent, so neither query waits on the server.
void ReadHead(HINTERNET request, ExchangeResult& result) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!platform::HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                                  nullptr)) {
        status = 0;  // no status line came
    }
    result.status = status;
    if (!IsRedirect(status)) {
        return;
    }
    std::vector<char> location(256);
    size = static_cast<DWORD>(location.size());
    BOOL read = platform::HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location.data(), &size, nullptr);
    if (!read && platform::GetLastError() == ERROR_INSUFFICIENT_BUFFER && size < kMaxLocationBytes) {
        location.resize(static_cast<std::size_t>(size) + 1);
        size = static_cast<DWORD>(location.size());
        read = platform::HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location.data(), &size, nullptr);
    }
    if (!read || size >= location.size()) {
        return;  // a redirect with no Location, or one too long to be any server's address
    }
    result.locationBytes = size;
    const std::size_t kept = std::min<std::size_t>(size, kLocationExcerptBytes);
    std::memcpy(result.location, location.data(), kept);
    result.location[kept] = '\0';
}

void PerformExchange(Exchange& exchange) {
    ExchangeResult result;
    if (platform::HttpSendRequestA(exchange.request, kFormHeader, sizeof(kFormHeader) - 1,
                                   exchange.body.data(), static_cast<DWORD>(exchange.body.size()))) {
        ReadHead(exchange.request, result);
        ReadReply(exchange.request, exchange.deadline, exchange.reply, result);
    } else {
        // The last error is this thread's own: it is read here or never.
        result = {ExchangeOutcome::kFailed, platform::GetLastError()};
    }
    exchange.result = result;
}

DWORD WINAPI ExchangeThread(void* parameter) {
    auto* exchange = static_cast<Exchange*>(parameter);
    PerformExchange(*exchange);
    Release(exchange);
    --g_runningExchanges;
    return 0;
}

// The port after a host's ":": decimal digits alone, from 1 to 65535; 0 for anything else.
INTERNET_PORT ParsePort(const char* text, std::size_t length) {
    unsigned long value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
        if (value > 65535) {
            return 0;
        }
    }
    return static_cast<INTERNET_PORT>(value);
}

// Whether `host` is a name under .invalid, which no resolver answers (RFC 6761): whoever wrote one meant
// that it names no server, as the sample configuration does until it is edited. Names ignore case and a
// final dot.
bool NeverResolves(const char* host, std::size_t length) {
    if (length > 0 && host[length - 1] == '.') {
        --length;
    }
    const char label[] = "invalid";
    const std::size_t labelLength = sizeof(label) - 1;
    if (length < labelLength || (length > labelLength && host[length - labelLength - 1] != '.')) {
        return false;
    }
    for (std::size_t i = 0; i < labelLength; ++i) {
        const char c = host[length - labelLength + i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c) != label[i]) {
            return false;
        }
    }
    return true;
}

// Splits `address` (its scheme already taken off) into its host, port and base path, each whole or not at
// all. Returns why it is refused, with host and base path left empty and the port as it was.
template <std::size_t HostCapacity, std::size_t BasePathCapacity>
AddressRefusal SplitAddress(const char* address, char (&host)[HostCapacity], INTERNET_PORT& port,
                            char (&basePath)[BasePathCapacity]) {
    const char* slash = FindFirstChar(address, '/');
    const char* end = slash != nullptr ? slash : address + std::strlen(address);
    const char* colon = FindFirstChar(address, ':');
    if (colon != nullptr && colon > end) {
        colon = nullptr;  // a ":" in the base path is the path's
    }
    const std::size_t hostLength = static_cast<std::size_t>((colon != nullptr ? colon : end) - address);
    if (hostLength == 0) {
        return AddressRefusal::kNoHost;
    }
    if (hostLength >= HostCapacity) {
        return AddressRefusal::kHostTooLong;
    }
    if (NeverResolves(address, hostLength)) {
        return AddressRefusal::kNeverResolves;
    }
    INTERNET_PORT givenPort = port;
    if (colon != nullptr) {
        givenPort = ParsePort(colon + 1, static_cast<std::size_t>(end - colon - 1));
        if (givenPort == 0) {
            // "HTTPS://host" and the like: a scheme the client does not know, not a port.
            const bool scheme = colon + 1 == end && slash != nullptr && slash[1] == '/';
            return scheme ? AddressRefusal::kUnknownScheme : AddressRefusal::kBadPort;
        }
    }
    if (slash != nullptr) {
        const std::size_t length = std::strlen(slash + 1);
        const bool endsInSlash = length != 0 && slash[length] == '/';
        if (length + (endsInSlash ? 0 : 1) >= BasePathCapacity) {
            return AddressRefusal::kBasePathTooLong;
        }
        CopyText(basePath, slash + 1);
        if (!endsInSlash) {
            AppendText(basePath, "/");  // an empty base path does not end in "/" either
        }
    }
    CopyText(host, address);
    host[hostLength] = '\0';
    port = givenPort;
    return AddressRefusal::kNone;
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// FindTextAfterHost, for an address whose scheme is already taken off.
const char* FindTextBeforePath(const char* address) {
    const char* slash = FindFirstChar(address, '/');
    const char* end = slash != nullptr ? slash : address + std::strlen(address);
    for (const char* p = address; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (platform::IsDBCSLeadByteEx(CP_ACP, c) && p + 1 < end) {
            ++p;  // its trail byte is no character of its own
        } else if (c <= ' ' || c == 0x7F || c == ';' || c == '#' || c == '"' || c == '\'') {
            return p;
        }
    }
    return nullptr;
}

}  // namespace

const char* FindTextAfterHost(const char* address) {
    if (StartsWith(address, kSecureScheme)) {
        address += sizeof(kSecureScheme) - 1;
    } else if (StartsWith(address, kPlainScheme)) {
        address += sizeof(kPlainScheme) - 1;
    }
    return FindTextBeforePath(address);
}

CHttpRequest::CHttpRequest(const char* address)
    : m_szHost(),
      m_szBasePath(),
      m_nPort(INTERNET_DEFAULT_HTTP_PORT),
      m_bSecure(false),
      m_refusal(AddressRefusal::kNone),
      m_dwSessionError(ERROR_SUCCESS),
      m_hSession(nullptr),
      m_hConnection(nullptr),
      m_bConnected(false),
      m_ullDeadline(~ULONGLONG{0}),
      m_lastExchange{ExchangeOutcome::kNotSent, ERROR_SUCCESS} {
    // Only these two, in lower case: "HTTP://host" stays a host "HTTP" with no port, and is refused.
    if (StartsWith(address, kSecureScheme)) {
        address += sizeof(kSecureScheme) - 1;
        m_bSecure = true;
        m_nPort = INTERNET_DEFAULT_HTTPS_PORT;
    } else if (StartsWith(address, kPlainScheme)) {
        address += sizeof(kPlainScheme) - 1;
    }
    if (FindTextBeforePath(address) != nullptr) {
        m_refusal = AddressRefusal::kTextAfterHost;  // never cut to what comes before it
        return;
    }
    // A host or a base path cut to its field would name another server, or another path on it.
    m_refusal = SplitAddress(address, m_szHost, m_nPort, m_szBasePath);
    if (m_refusal != AddressRefusal::kNone) {
        return;
    }

    m_hSession = platform::InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (m_hSession == nullptr) {
        m_dwSessionError = platform::GetLastError();
        return;
    }
    m_hConnection =
        platform::InternetConnectA(m_hSession, m_szHost, m_nPort, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    if (m_hConnection != nullptr) {
        m_bConnected = true;
    } else {
        m_dwSessionError = platform::GetLastError();
    }
}

void CHttpRequest::SendPost(const char* relativePath, std::string& reply, const char* body) {
    m_lastExchange = {ExchangeOutcome::kNotSent, ERROR_SUCCESS};
    const ULONGLONG now = platform::GetTickCount64();
    if (now >= m_ullDeadline) {
        m_bConnected = false;  // out of time before it began: no exchange, and none after it
        m_lastExchange.outcome = ExchangeOutcome::kReportOver;
        return;
    }
    // Which of the two deadlines ends this exchange, if it has to be ended.
    const bool runDeadlineFirst = m_ullDeadline - now < kExchangeDeadlineMs;
    const ULONGLONG deadline = runDeadlineFirst ? m_ullDeadline : now + kExchangeDeadlineMs;
    const ExchangeOutcome outOfTime =
        runDeadlineFirst ? ExchangeOutcome::kPastReportDeadline : ExchangeOutcome::kPastExchangeDeadline;

    // Every base path and relative path fits, whole.
    const char* relative = relativePath[0] == '/' ? relativePath + 1 : relativePath;
    char path[kBasePathCapacity + kRelativePathCapacity];
    if (std::strlen(relative) >= kRelativePathCapacity) {
        return;
    }
    CopyText(path, m_szBasePath);
    AppendText(path, relative);

    // Request handles are never closed: they end with the process, as the session and connection do. With
    // TLS, WinINet refuses a certificate it cannot trust, for another name or out of its dates, before
    // anything is sent: no flag here, and no option anywhere, lets any of that through.
    const DWORD flags = kRequestFlags | (m_bSecure ? INTERNET_FLAG_SECURE : 0);
    HINTERNET request =
        platform::HttpOpenRequestA(m_hConnection, "POST", path, nullptr, nullptr, nullptr, flags, 0);
    if (request == nullptr) {
        m_lastExchange = {ExchangeOutcome::kFailed, platform::GetLastError()};
        return;
    }
    // Set on the request itself: Wine ignores a session's send and receive time-outs.
    SetTimeout(request, INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
    SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);
    SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);

    auto* exchange = new Exchange{
        request, body, deadline, {ExchangeOutcome::kPastExchangeDeadline, ERROR_SUCCESS}, std::string(), {2}};
    ++g_runningExchanges;
    HANDLE thread = platform::CreateThread(nullptr, 0, ExchangeThread, exchange, 0, nullptr);
    if (thread == nullptr) {
        --g_runningExchanges;
        exchange->owners = 1;        // no thread holds it
        PerformExchange(*exchange);  // unbounded, as it would be without threads, but answered
    } else {
        DWORD waited = platform::WaitForSingleObject(thread, static_cast<DWORD>(deadline - now));
        platform::CloseHandle(thread);  // the thread runs on if it has to
        if (waited != WAIT_OBJECT_0) {
            // Still blocked in WinINet: the exchange is the thread's now. A server that held one exchange
            // this long is asked nothing more.
            m_bConnected = false;
            m_lastExchange.outcome = outOfTime;
            Release(exchange);
            return;
        }
    }
    m_lastExchange = exchange->result;
    if (m_lastExchange.outcome == ExchangeOutcome::kPastExchangeDeadline) {
        m_bConnected = false;
        m_lastExchange.outcome = outOfTime;
    } else if (m_lastExchange.outcome == ExchangeOutcome::kAnswered) {
        reply += exchange->reply;
        reply = reply.substr(GetBomLength(reply));
    }
    Release(exchange);
}

bool ExchangeStillRunning() {
    return g_runningExchanges.load() != 0;
}
