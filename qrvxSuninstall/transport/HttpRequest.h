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

class CHttpRequest {
  public:
    // `address` is a host, optionally after "http://" and before "/" and a base path. Never fails: without
    // a session or a connection, m_bConnected stays false. An address is used whole or not at all: one with
    // no host, or whose host or base path does not fit its field, connects nowhere.
    explicit CHttpRequest(const char* address);

    // Appends the reply body to `reply`, then drops any leading byte-order mark. Call only when connected.
    // An exchange that outlives its deadline is no reply, and clears m_bConnected: a server that held the
    // program that long is asked nothing more.
    void SendPost(const char* relativePath, std::string& reply, const char* body);

    // Bounds every exchange from now on by the tick count `deadline` as well: none begins after it, and one
    // still under way at it ends there as if it had outlived its own deadline.
    void SetDeadline(ULONGLONG deadline) { m_ullDeadline = deadline; }

    char m_szHost[kHostCapacity];
    char m_szBasePath[kBasePathCapacity];
    HINTERNET m_hSession;
    HINTERNET m_hConnection;
    bool m_bConnected;
    ULONGLONG m_ullDeadline;  // of the whole run of exchanges; none until set
};

// Whether the thread of an exchange given up on at its deadline is still inside WinINet.
bool ExchangeStillRunning();

// No reply word is anywhere near this long; a body past it is not read further and matches nothing.
constexpr std::size_t kMaxReplyBytes = std::size_t{64} * 1024;

// A failing read that follows a successful one makes the read loop ask again; this many in a row end it.
constexpr int kMaxFailedReads = 8;
