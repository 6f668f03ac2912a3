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

// A server that sends a byte every few seconds never trips the per-receive time-out above, and under Wine
// nothing wakes a send or a read blocked in WinINet, not even closing its handle. So each exchange runs on a
// thread of its own and the caller stops waiting for it at this deadline.
const DWORD kExchangeDeadlineMs = 80000;

enum class Outcome { NotSent, Answered, TooLong, OutOfTime };

// One exchange, shared by the caller and the thread that performs it; the last of the two to let go of it
// releases it. A thread that stays blocked in WinINet keeps it to the end of the process, as it keeps the
// request handle.
struct Exchange {
    HINTERNET request;
    std::string body;
    ULONGLONG deadline;
    Outcome outcome;
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
// kMaxReplyBytes and the deadline.
Outcome ReadReply(HINTERNET request, ULONGLONG deadline, std::string& reply) {
    int failedReads = 0;
    DWORD available = 0;
    DWORD read = 0;
    std::size_t received = 0;
    do {
        if (platform::GetTickCount64() >= deadline) {
            return Outcome::OutOfTime;
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
            failedReads = 0;
        } else if (++failedReads >= kMaxFailedReads) {
            break;
        }
        if (received > kMaxReplyBytes) {
            return Outcome::TooLong;  // too long to be any reply word: as if nothing had come
        }
    } while (read != 0);
    return Outcome::Answered;
}

void PerformExchange(Exchange& exchange) {
    if (platform::HttpSendRequestA(exchange.request, kFormHeader, sizeof(kFormHeader) - 1,
                                   exchange.body.data(), static_cast<DWORD>(exchange.body.size()))) {
        exchange.outcome = ReadReply(exchange.request, exchange.deadline, exchange.reply);
    }
    Release(&exchange);
}

DWORD WINAPI ExchangeThread(void* parameter) {
    PerformExchange(*static_cast<Exchange*>(parameter));
    --g_runningExchanges;
    return 0;
}

// Splits `address` into its host and base path, each whole or not at all; false, with both empty, when the
// address names no host or either part does not fit.
template <std::size_t HostCapacity, std::size_t BasePathCapacity>
bool SplitAddress(const char* address, char (&host)[HostCapacity], char (&basePath)[BasePathCapacity]) {
    const char* slash = FindFirstChar(address, '/');
    const std::size_t hostLength =
        slash != nullptr ? static_cast<std::size_t>(slash - address) : std::strlen(address);
    if (hostLength == 0 || hostLength >= HostCapacity) {
        return false;
    }
    if (slash != nullptr) {
        const std::size_t length = std::strlen(slash + 1);
        const bool endsInSlash = length != 0 && slash[length] == '/';
        if (length + (endsInSlash ? 0 : 1) >= BasePathCapacity) {
            return false;
        }
        CopyText(basePath, slash + 1);
        if (!endsInSlash) {
            AppendText(basePath, "/");  // an empty base path does not end in "/" either
        }
    }
    CopyText(host, address);
    host[hostLength] = '\0';
    return true;
}

}  // namespace

CHttpRequest::CHttpRequest(const char* address)
    : m_szHost(),
      m_szBasePath(),
      m_hSession(nullptr),
      m_hConnection(nullptr),
      m_bConnected(false),
      m_ullDeadline(~ULONGLONG{0}) {
    if (std::strncmp(address, kScheme, sizeof(kScheme) - 1) == 0) {
        address += sizeof(kScheme) - 1;
    }
    // A host or a base path cut to its field would name another server, or another path on it.
    if (!SplitAddress(address, m_szHost, m_szBasePath)) {
        return;
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
    const ULONGLONG now = platform::GetTickCount64();
    if (now >= m_ullDeadline) {
        m_bConnected = false;  // out of time before it began: no exchange, and none after it
        return;
    }
    const ULONGLONG deadline = std::min<ULONGLONG>(now + kExchangeDeadlineMs, m_ullDeadline);

    // Every base path and relative path fits, whole.
    const char* relative = relativePath[0] == '/' ? relativePath + 1 : relativePath;
    char path[kBasePathCapacity + kRelativePathCapacity];
    if (std::strlen(relative) >= kRelativePathCapacity) {
        return;
    }
    CopyText(path, m_szBasePath);
    AppendText(path, relative);

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

    auto* exchange = new Exchange{request, body, deadline, Outcome::NotSent, std::string(), {2}};
    ++g_runningExchanges;
    HANDLE thread = platform::CreateThread(nullptr, 0, ExchangeThread, exchange, 0, nullptr);
    if (thread == nullptr) {
        --g_runningExchanges;
        PerformExchange(*exchange);  // unbounded, as it would be without threads, but answered
    } else {
        DWORD waited = platform::WaitForSingleObject(thread, static_cast<DWORD>(deadline - now));
        platform::CloseHandle(thread);  // the thread runs on if it has to
        if (waited != WAIT_OBJECT_0) {
            // Still blocked in WinINet: the exchange is the thread's now. A server that held one exchange
            // this long is asked nothing more.
            m_bConnected = false;
            Release(exchange);
            return;
        }
    }
    if (exchange->outcome == Outcome::OutOfTime) {
        m_bConnected = false;
    } else if (exchange->outcome == Outcome::Answered) {
        reply += exchange->reply;
        reply = reply.substr(GetBomLength(reply));
    }
    Release(exchange);
}

bool ExchangeStillRunning() {
    return g_runningExchanges.load() != 0;
}
