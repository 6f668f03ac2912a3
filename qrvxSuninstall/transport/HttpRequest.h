// A small HTTP client bound to one server, posting form bodies to paths under its base path.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Win32.h"

// The host as long as the platform takes one (255 bytes, INTERNET_MAX_HOST_NAME_LENGTH with its terminator),
// and a base path as long as a whole configured address.
constexpr std::size_t kHostCapacity = 256;
constexpr std::size_t kBasePathCapacity = 512;
// A relative path of the protocol's, with room to spare.
constexpr std::size_t kRelativePathCapacity = 64;

// Why an address connects nowhere.
enum class AddressRefusal {
    kNone,
    kNoHost,           // nothing before the first "/" or ":"
    kHostTooLong,      // past 255 bytes
    kBasePathTooLong,  // past the field, with its "/"
    kBadPort,          // after ":", anything but a decimal number from 1 to 65535
    kUnknownScheme,    // "name://", where only "http://" and "https://" are known
    kNeverResolves,    // a host name under .invalid: the sample configuration's, as it ships
    kTextAfterHost,    // a space, ";", "#", a quote or a control byte before the path: a comment, as a rule
};

// Where text that no host name holds begins in the configured `address`, after its "http://" or "https://"
// and before the first "/" after that: the first space, ";", "#", quote or control byte. Null when there is
// none. The profile reader keeps a comment after a value as part of it.
const char* FindTextAfterHost(const char* address);

// What became of the last exchange SendPost was asked for.
enum class ExchangeOutcome {
    kNotSent,               // no connection, or a request path that does not fit
    kReportOver,            // not begun: the deadline of the whole run of exchanges had come
    kFailed,                // WinINet failed it; the error says why
    kAnswered,              // a reply came, whatever it says
    kCutShort,              // the headers came, but the body could not be read to its end; the error says why
    kTooLong,               // a reply past kMaxReplyBytes, taken as none
    kPastExchangeDeadline,  // not over after its own deadline, kExchangeDeadlineMs
    kPastReportDeadline,    // still under way when the whole run's deadline came
};

// The first bytes of a redirect's Location kept: enough to tell which server it sends the client to.
constexpr std::size_t kLocationExcerptBytes = 80;

// A status that sends the client elsewhere, to its Location: the client follows none.
inline bool IsRedirect(DWORD status) {
    return status >= 300 && status < 400;
}

struct ExchangeResult {
    ExchangeResult() = default;
    ExchangeResult(ExchangeOutcome outcome_, DWORD error_) : outcome(outcome_), error(error_) {}

    ExchangeOutcome outcome = ExchangeOutcome::kNotSent;
    DWORD error = ERROR_SUCCESS;  // WinINet's code, for kFailed
    // Of a reply that came: its HTTP status, 0 when it had none; for a 3xx, the Location it named and how
    // long that was. Whatever they say, the body alone is the reply.
    DWORD status = 0;
    char location[kLocationExcerptBytes + 1] = {};
    std::size_t locationBytes = 0;
    std::size_t bodyBytes = 0;  // of a body cut short, how much of it came
    ULONGLONG elapsedMs = 0;    // from the exchange's start to its end, as the protocol timed it
};

class CHttpRequest {
  public:
    // `address` is a host, optionally after "http://" or "https://", optionally followed by ":" and a
    // port, then optionally by "/" and a base path. "https://" means TLS, on port 443 unless one is given;
    // otherwise port 80. Never fails: without a session or a connection, m_bConnected stays false. An
    // address is used whole or not at all: one that m_refusal refuses connects nowhere.
    explicit CHttpRequest(const char* address);

    // Appends the reply body to `reply`, then drops any leading byte-order mark; m_lastExchange says what
    // came of it. Call only when connected. An exchange that outlives its deadline is no reply, and clears
    // m_bConnected: a server that held the program that long is asked nothing more.
    void SendPost(const char* relativePath, std::string& reply, const char* body);

    // Bounds every exchange from now on by the tick count `deadline` as well: none begins after it, and one
    // still under way at it ends there as if it had outlived its own deadline.
    void SetDeadline(ULONGLONG deadline) { m_ullDeadline = deadline; }

    char m_szHost[kHostCapacity];
    char m_szBasePath[kBasePathCapacity];
    INTERNET_PORT m_nPort;
    bool m_bSecure;  // TLS, with the server's certificate checked by WinINet as it always does
    AddressRefusal m_refusal;
    DWORD m_dwSessionError;  // why the session or the connection could not be had, when the address could
    HINTERNET m_hSession;
    HINTERNET m_hConnection;
    bool m_bConnected;
    ULONGLONG m_ullDeadline;  // of the whole run of exchanges; none until set
    ExchangeResult m_lastExchange;
};

// Whether the thread of an exchange given up on at its deadline is still inside WinINet.
bool ExchangeStillRunning();

// No reply word is anywhere near this long; a body past it is not read further and matches nothing.
constexpr std::size_t kMaxReplyBytes = std::size_t{64} * 1024;

// A failing read that follows a successful one makes the read loop ask again; this many in a row end it.
constexpr int kMaxFailedReads = 8;

// No exchange waits longer than this for the server, whatever the server does.
constexpr DWORD kExchangeDeadlineMs = 80000;
