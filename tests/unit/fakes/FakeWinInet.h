// A scripted WinINet: records the session, the connection and each request with its arguments, and
// serves each request the reply body the test lays out, step by step.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Win32.h"

namespace fake {

struct ReplyStep {
    enum Kind { Data, ReadFails, QueryFails };
    Kind kind = Data;
    std::string bytes;  // Data: offered whole to the availability query, served to as many reads as asked
    int times = 1;      // the same step this many times in a row
};

struct HttpReply {
    bool sendFails = false;
    DWORD sendError = ERROR_INTERNET_CANNOT_CONNECT;  // the last error of a send that fails
    DWORD status = 200;                               // 0: a reply without a status line
    std::string location;                             // the Location header, if any
    std::vector<ReplyStep> steps;                     // then the end of the body
};

HttpReply Body(const std::string& bytes, DWORD status = 200);

struct OpenCall {
    std::string agent, proxy, proxyBypass;  // "(null)" for a null pointer
    DWORD accessType = 0, flags = 0;
};

struct ConnectCall {
    HINTERNET session = nullptr;
    std::string host, userName, password;
    INTERNET_PORT port = 0;
    DWORD service = 0, flags = 0;
    DWORD_PTR context = 0;
};

struct RequestRecord {
    HINTERNET connection = nullptr;
    std::string verb, path, version, referrer;
    bool nullAcceptTypes = false;
    DWORD flags = 0;
    DWORD_PTR context = 0;
    std::string headers, body;
    DWORD headersLength = 0, bodyLength = 0;
    bool sent = false;
    std::vector<DWORD> readSizes;                   // what each InternetReadFile asked for
    int queries = 0, oddQueries = 0;                // availability queries; those with flags or context
    std::vector<std::pair<DWORD, DWORD>> timeouts;  // option, milliseconds, as set on the request
    std::vector<DWORD> headQueries;                 // the info level of each HttpQueryInfoA
    bool oddHeadQuery = false;                      // one with an index, or sized wrongly for a number

    HttpReply reply;
    std::size_t step = 0, offset = 0;
    int repeat = 0;
};

struct WinInet {
    bool openFails = false, connectFails = false, openRequestFails = false;
    DWORD failError = ERROR_INTERNET_INTERNAL_ERROR;  // the last error those three fail with
    DWORD readOverstates = 0;  // how much more than it wrote a successful read says it read
    std::function<HttpReply(const RequestRecord&)> server;  // none: every body is empty

    std::vector<OpenCall> opens;
    std::vector<ConnectCall> connects;
    std::vector<RequestRecord> requests;
};

extern WinInet winInet;
// The session and connection handles every client gets.
extern void* const kSession;
extern void* const kConnection;
void ResetWinInet();
void Serve(const HttpReply& reply);  // the same reply to every request

}  // namespace fake
