#include "transport/HttpRequest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/FakeKernel32.h"
#include "fakes/FakeWinInet.h"

namespace {

using fake::ReplyStep;
using fake::winInet;

// The longest host name that fits, and an address whose base path, its "/" included, just fits: the
// platform's 255 bytes, and a base path as long as the longest address. Spelt out, so that a field
// that grew or shrank by one is seen.
const std::string kLongestHost(255, 'h');
const std::string kLongestBase = "h/" + std::string(510, 'p') + "/";
const std::string kLongestBaseWithoutSlash = kLongestBase.substr(0, kLongestBase.size() - 1);

class HttpRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::ResetKernel32();
        fake::ResetWinInet();
    }

    // Posts to a connected client and returns the reply as SendPost leaves it, and what came of it.
    static std::string Post(const fake::HttpReply& reply, ExchangeResult* result = nullptr) {
        fake::Serve(reply);
        CHttpRequest request("10.0.0.5");
        std::string text;
        request.SendPost("Quorvex/connect_check.php", text, "");
        if (result != nullptr) {
            *result = request.m_lastExchange;
        }
        return text;
    }

    static const fake::RequestRecord& OnlyRequest() {
        EXPECT_EQ(1u, winInet.requests.size());
        return winInet.requests.at(0);
    }
};

TEST_F(HttpRequestTest, AddressSplitsIntoHostPortAndBasePath) {
    struct Case {
        const char* address;
        const char* host;
        INTERNET_PORT port;
        bool secure;
        const char* basePath;
    };
    const std::string longestHostWithPort = kLongestHost + ":65535/app";
    const Case cases[] = {
        {"10.0.0.5", "10.0.0.5", 80, false, ""},
        {"http://10.0.0.5/app", "10.0.0.5", 80, false, "app/"},
        {"10.0.0.5/", "10.0.0.5", 80, false, "/"},
        {"h/abcdefghijklmnopqrstuvwxyz0123456789", "h", 80, false, "abcdefghijklmnopqrstuvwxyz0123456789/"},
        {"http://10.0.0.5/admin/", "10.0.0.5", 80, false, "admin/"},
        {"\xB0/x/app", "\xB0/x", 80, false,
         "app/"},  // the trail byte of a double-byte character is no separator
        {"\xB0:x:8080", "\xB0:x", 8080, false, ""},   // nor of a port
        {"\xB0;x/a b", "\xB0;x", 80, false, "a b/"},  // nor text after the host; a path may hold a space
        // The names enterprises give their servers, and the paths they serve under: whole.
        {"http://quorvex-management.corp.qa.test/quorvex", "quorvex-management.corp.qa.test", 80, false,
         "quorvex/"},
        {"127.0.0.1/quorvex-management/endpoints/uninstall/v2", "127.0.0.1", 80, false,
         "quorvex-management/endpoints/uninstall/v2/"},
        // TLS on its own port, or on any other; plain HTTP on any port.
        {"https://mgmt.example.com/quorvex", "mgmt.example.com", 443, true, "quorvex/"},
        {"https://mgmt.example.com", "mgmt.example.com", 443, true, ""},
        {"https://mgmt.example.com:8443/q", "mgmt.example.com", 8443, true, "q/"},
        {"http://mgmt.example.com:8080/q", "mgmt.example.com", 8080, false, "q/"},
        {"mgmt.example.com:1", "mgmt.example.com", 1, false, ""},
        {"mgmt.example.com:9999", "mgmt.example.com", 9999, false, ""},
        {"mgmt.example.com:00443/", "mgmt.example.com", 443, false, "/"},
        // Only the last label of a name can make it one that never resolves.
        {"invalid.example.com/x.invalid", "invalid.example.com", 80, false, "x.invalid/"},
        {"mgmt.notinvalid", "mgmt.notinvalid", 80, false, ""},
        {"10.0.0.5/app:8080", "10.0.0.5", 80, false, "app:8080/"},  // a ":" in the path is the path's
        {kLongestHost.c_str(), kLongestHost.c_str(), 80, false, ""},
        {longestHostWithPort.c_str(), kLongestHost.c_str(), 65535, false,
         "app/"},  // the port is no part of it
        {kLongestBase.c_str(), "h", 80, false, kLongestBase.c_str() + 2},
        {kLongestBaseWithoutSlash.c_str(), "h", 80, false, kLongestBase.c_str() + 2},  // its "/" added
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address).substr(0, 60));
        fake::ResetWinInet();
        CHttpRequest request(c.address);
        EXPECT_STREQ(c.host, request.m_szHost);
        EXPECT_STREQ(c.basePath, request.m_szBasePath);
        EXPECT_EQ(c.secure, request.m_bSecure);
        EXPECT_EQ(AddressRefusal::kNone, request.m_refusal);
        EXPECT_TRUE(request.m_bConnected);
        ASSERT_EQ(1u, winInet.connects.size());
        EXPECT_EQ(c.host, winInet.connects[0].host);
        EXPECT_EQ(c.port, winInet.connects[0].port);
    }
}

// An address that does not fit, or whose port is not one, is never cut or guessed to one that names another
// server: it connects nowhere, and says why.
TEST_F(HttpRequestTest, AddressThatDoesNotFitIsRefusedWhole) {
    const std::string tooLongHost(256, 'h');
    const std::string tooLongBase = "h/" + std::string(511, 'p');  // its "/" would not fit
    struct Case {
        std::string address;
        AddressRefusal refusal;
    };
    const Case cases[] = {
        {tooLongHost, AddressRefusal::kHostTooLong},
        {tooLongHost + "/app", AddressRefusal::kHostTooLong},
        {tooLongHost + ":80", AddressRefusal::kHostTooLong},
        {tooLongBase, AddressRefusal::kBasePathTooLong},
        {"/app", AddressRefusal::kNoHost},
        {"http://", AddressRefusal::kNoHost},
        {"https://", AddressRefusal::kNoHost},
        {"https://:443/app", AddressRefusal::kNoHost},
        {"", AddressRefusal::kNoHost},
        {"h:", AddressRefusal::kBadPort},
        {"h:/app", AddressRefusal::kBadPort},
        {"h:0", AddressRefusal::kBadPort},
        {"h:65536", AddressRefusal::kBadPort},
        {"h:99999999999999999999", AddressRefusal::kBadPort},
        {"h:+80", AddressRefusal::kBadPort},
        {"h:-1", AddressRefusal::kBadPort},
        {"h:8o", AddressRefusal::kBadPort},
        {"h:80:80", AddressRefusal::kBadPort},
        {"h:0x50", AddressRefusal::kBadPort},
        {"http:/host", AddressRefusal::kBadPort},
        // Only "http://" and "https://", as written in lower case, are schemes.
        {"HTTP://host", AddressRefusal::kUnknownScheme},
        {"HTTPS://host", AddressRefusal::kUnknownScheme},
        {"ftp://host/app", AddressRefusal::kUnknownScheme},
        {"http://https://host", AddressRefusal::kUnknownScheme},
        // The sample's address as it ships, and any other name that never resolves, in any case.
        {"mgmt.example.invalid", AddressRefusal::kNeverResolves},
        {"https://MGMT.Example.INVALID.:8443/q", AddressRefusal::kNeverResolves},
        {"invalid/quorvex", AddressRefusal::kNeverResolves},
        // What the profile reader keeps after the value: a comment, a quote, a control byte.
        {"127.0.0.1 ; our server", AddressRefusal::kTextAfterHost},
        {"https://mgmt.example.com;x/q", AddressRefusal::kTextAfterHost},
        {"mgmt#2", AddressRefusal::kTextAfterHost},
        {"'mgmt'", AddressRefusal::kTextAfterHost},
        {"h: 80", AddressRefusal::kTextAfterHost},
        {"h\t", AddressRefusal::kTextAfterHost},
        {"h\x7F/app", AddressRefusal::kTextAfterHost},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address.substr(0, 40));
        fake::ResetWinInet();
        CHttpRequest request(c.address.c_str());
        EXPECT_EQ(c.refusal, request.m_refusal);
        EXPECT_FALSE(request.m_bConnected);
        EXPECT_STREQ("", request.m_szHost);
        EXPECT_STREQ("", request.m_szBasePath);
        EXPECT_TRUE(winInet.opens.empty());
        EXPECT_TRUE(winInet.connects.empty());
    }
}

TEST_F(HttpRequestTest, EveryRequestHasBoundedWaits) {
    // Without them a server that accepts and never answers holds the program for ever under Wine.
    Post(fake::Body("CONNECTED"));
    const std::vector<std::pair<DWORD, DWORD>> expected = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, 60000},
        {INTERNET_OPTION_SEND_TIMEOUT, 30000},
        {INTERNET_OPTION_RECEIVE_TIMEOUT, 30000},
    };
    EXPECT_EQ(expected, OnlyRequest().timeouts);
}

TEST_F(HttpRequestTest, SessionAndConnectionArguments) {
    CHttpRequest request("http://10.0.0.5/app");

    ASSERT_EQ(1u, winInet.opens.size());
    const fake::OpenCall& open = winInet.opens[0];
    EXPECT_EQ("ZelmarisHTTPRequest", open.agent);
    EXPECT_EQ(0u, open.accessType);
    EXPECT_EQ("(null)", open.proxy);
    EXPECT_EQ("(null)", open.proxyBypass);
    EXPECT_EQ(0u, open.flags);

    ASSERT_EQ(1u, winInet.connects.size());
    const fake::ConnectCall& connect = winInet.connects[0];
    EXPECT_EQ(fake::kSession, connect.session);
    EXPECT_EQ("10.0.0.5", connect.host);
    EXPECT_EQ(80, connect.port);
    EXPECT_EQ("", connect.userName);
    EXPECT_EQ("", connect.password);
    EXPECT_EQ(3u, connect.service);
    EXPECT_EQ(0u, connect.flags);
    EXPECT_EQ(0u, connect.context);
    EXPECT_EQ(fake::kConnection, request.m_hConnection);
}

TEST_F(HttpRequestTest, NotConnectedWithoutSessionOrConnectionAndSaysWhy) {
    winInet.openFails = true;
    CHttpRequest withoutSession("10.0.0.5");
    EXPECT_FALSE(withoutSession.m_bConnected);
    EXPECT_EQ(winInet.failError, withoutSession.m_dwSessionError);
    EXPECT_TRUE(winInet.connects.empty());

    fake::ResetWinInet();
    winInet.connectFails = true;
    CHttpRequest withoutConnection("10.0.0.5");
    EXPECT_FALSE(withoutConnection.m_bConnected);
    EXPECT_EQ(winInet.failError, withoutConnection.m_dwSessionError);
}

TEST_F(HttpRequestTest, RequestPathIsBasePathThenRelativePath) {
    struct Case {
        const char* address;
        const char* relativePath;
        const char* path;
    };
    const std::string longestPath = kLongestBase.substr(2) + "Quorvex/register_check.php";
    const Case cases[] = {
        {"10.0.0.5", "Quorvex/connect_check.php", "Quorvex/connect_check.php"},
        {"10.0.0.5/", "Quorvex/connect_check.php", "/Quorvex/connect_check.php"},
        {"10.0.0.5/app", "/Quorvex/connect_check.php", "app/Quorvex/connect_check.php"},
        {"10.0.0.5", "//Quorvex", "/Quorvex"},  // only one leading "/" goes
        {kLongestBase.c_str(), "Quorvex/register_check.php", longestPath.c_str()},  // the longest there is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address + std::string(" + ") + c.relativePath);
        fake::ResetWinInet();
        CHttpRequest request(c.address);
        std::string reply;
        request.SendPost(c.relativePath, reply, "");
        EXPECT_EQ(c.path, OnlyRequest().path);
    }

    // A relative path that would not fit is not cut: nothing is asked, and the exchange before it is not
    // taken for this one.
    fake::ResetWinInet();
    CHttpRequest request("10.0.0.5");
    std::string reply = "given";
    request.SendPost("Quorvex/connect_check.php", reply, "");
    ASSERT_EQ(ExchangeOutcome::kAnswered, request.m_lastExchange.outcome);
    request.SendPost(std::string(kRelativePathCapacity, 'q').c_str(), reply, "");
    EXPECT_EQ(1u, winInet.requests.size());
    EXPECT_EQ("given", reply);
    EXPECT_EQ(ExchangeOutcome::kNotSent, request.m_lastExchange.outcome);
}

TEST_F(HttpRequestTest, PostCarriesTheFixedFlagsHeaderAndTheBodyAsItIs) {
    struct Case {
        const char* address;
        DWORD flags;
    };
    // The same flags over TLS, with INTERNET_FLAG_SECURE (0x00800000) and none that would let a
    // certificate WinINet refuses through (INTERNET_FLAG_IGNORE_CERT_CN_INVALID 0x1000, _DATE_INVALID
    // 0x2000).
    const Case cases[] = {{"10.0.0.5", 0x8468C200u}, {"https://10.0.0.5", 0x84E8C200u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        fake::ResetKernel32();
        fake::ResetWinInet();
        CHttpRequest request(c.address);
        std::string reply;
        request.SendPost("Quorvex/message_post.php", reply,
                         "m=00-1A-2B-3C-4D-5E&d=SERVICE PROGRAM UNINSTALLED !!");

        const fake::RequestRecord& sent = OnlyRequest();
        EXPECT_EQ(fake::kConnection, sent.connection);
        EXPECT_EQ("POST", sent.verb);
        EXPECT_EQ("(null)", sent.version);
        EXPECT_EQ("(null)", sent.referrer);
        EXPECT_TRUE(sent.nullAcceptTypes);
        EXPECT_EQ(c.flags, sent.flags);
        EXPECT_EQ(0u, sent.context);
        EXPECT_EQ("Content-Type: application/x-www-form-urlencoded; ", sent.headers);
        EXPECT_EQ(49u, sent.headersLength);
        EXPECT_EQ("m=00-1A-2B-3C-4D-5E&d=SERVICE PROGRAM UNINSTALLED !!", sent.body);
        EXPECT_EQ(52u, sent.bodyLength);
        EXPECT_GT(sent.queries, 0);
        EXPECT_EQ(0, sent.oddQueries) << "availability asked with flags or a context";
        // A thread of the default stack size, running at once.
        EXPECT_EQ((std::vector<std::pair<std::size_t, DWORD>>{{0, 0}}), fake::kernel32.threadArgs);
        // The connection has no flags of its own: TLS is the request's.
        EXPECT_EQ(0u, winInet.connects.at(0).flags);
    }
}

// What the record of the run says of each exchange comes from here.
TEST_F(HttpRequestTest, EachExchangeSaysWhatCameOfIt) {
    struct Case {
        const char* name;
        std::function<void(CHttpRequest&)> script;
        ExchangeOutcome outcome;
        DWORD error;
    };
    // A send that WinINet fails with `error`.
    const auto sendFails = [](DWORD error) {
        return [error](CHttpRequest&) {
            fake::HttpReply refused;
            refused.sendFails = true;
            refused.sendError = error;
            fake::Serve(refused);
        };
    };
    const Case cases[] = {
        {"answered", [](CHttpRequest&) {}, ExchangeOutcome::kAnswered, 0},
        {"refused connection", sendFails(ERROR_INTERNET_CANNOT_CONNECT), ExchangeOutcome::kFailed,
         ERROR_INTERNET_CANNOT_CONNECT},
        {"refused certificate", sendFails(ERROR_INTERNET_INVALID_CA), ExchangeOutcome::kFailed,
         ERROR_INTERNET_INVALID_CA},
        {"request not opened", [](CHttpRequest&) { winInet.openRequestFails = true; },
         ExchangeOutcome::kFailed, winInet.failError},
        {"reply too long",
         [](CHttpRequest&) { fake::Serve(fake::Body(std::string(kMaxReplyBytes + 1, 'x'))); },
         ExchangeOutcome::kTooLong, 0},
        {"past its own deadline", [](CHttpRequest&) { fake::kernel32.threadsHang = true; },
         ExchangeOutcome::kPastExchangeDeadline, 0},
        {"the run's deadline no sooner than its own",
         [](CHttpRequest& request) {
             fake::kernel32.threadsHang = true;
             request.SetDeadline(fake::kernel32.tickCount + kExchangeDeadlineMs);
         },
         ExchangeOutcome::kPastExchangeDeadline, 0},
        {"past the run's deadline",
         [](CHttpRequest& request) {
             fake::kernel32.threadsHang = true;
             request.SetDeadline(fake::kernel32.tickCount + kExchangeDeadlineMs - 1);
         },
         ExchangeOutcome::kPastReportDeadline, 0},
        {"body still coming at the run's deadline",
         [](CHttpRequest& request) {
             fake::kernel32.tickStep = 20000;
             fake::HttpReply slow;
             slow.steps = {{ReplyStep::Data, "C", 1000}};
             fake::Serve(slow);
             request.SetDeadline(fake::kernel32.tickCount + 50000);
         },
         ExchangeOutcome::kPastReportDeadline, 0},
        {"not begun after the run's deadline",
         [](CHttpRequest& request) { request.SetDeadline(fake::kernel32.tickCount); },
         ExchangeOutcome::kReportOver, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetKernel32();
        fake::ResetWinInet();
        fake::Serve(fake::Body("CONNECTED"));
        CHttpRequest request("10.0.0.5");
        c.script(request);
        std::string reply;
        request.SendPost("Quorvex/connect_check.php", reply, "");
        EXPECT_EQ(c.outcome, request.m_lastExchange.outcome);
        EXPECT_EQ(c.error, request.m_lastExchange.error);
        for (auto& hanging : fake::kernel32.hanging) {
            hanging.first(hanging.second);  // what the thread does later changes nothing
        }
        EXPECT_EQ(c.outcome, request.m_lastExchange.outcome);
    }
}

// The status of every reply that came, and where a redirect points, read from the request's headers; the
// body is the reply all the same.
TEST_F(HttpRequestTest, EachReplysStatusAndRedirectAreKept) {
    const std::string longLocation = "http://mgmt2.example.com/" + std::string(300, 'q');
    struct Case {
        const char* name;
        DWORD status;
        std::string location;
        std::string kept;  // of the Location
        std::size_t locationBytes;
        std::vector<DWORD> queries;
    };
    const DWORD kStatus = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
    const Case cases[] = {
        {"success", 200, "http://ignored/", "", 0, {kStatus}},
        {"no status line", 0, "", "", 0, {kStatus}},
        {"service unavailable", 503, "", "", 0, {kStatus}},
        {"redirect",
         302,
         "http://mgmt2.example.com/",
         "http://mgmt2.example.com/",
         25,
         {kStatus, HTTP_QUERY_LOCATION}},
        {"redirect past the first buffer",
         301,
         longLocation,
         longLocation.substr(0, kLocationExcerptBytes),
         longLocation.size(),
         {kStatus, HTTP_QUERY_LOCATION, HTTP_QUERY_LOCATION}},
        {"redirect to nowhere", 303, "", "", 0, {kStatus, HTTP_QUERY_LOCATION}},
        {"first of the redirects", 300, "/x", "/x", 2, {kStatus, HTTP_QUERY_LOCATION}},
        {"bad request, no redirect", 400, "/x", "", 0, {kStatus}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetWinInet();
        fake::HttpReply reply = fake::Body("CONNECTED", c.status);
        reply.location = c.location;
        fake::Serve(reply);
        CHttpRequest request("10.0.0.5");
        std::string text;
        request.SendPost("Quorvex/connect_check.php", text, "");
        EXPECT_EQ("CONNECTED", text);
        EXPECT_EQ(c.queries, OnlyRequest().headQueries);
        EXPECT_FALSE(OnlyRequest().oddHeadQuery);
        EXPECT_EQ(ExchangeOutcome::kAnswered, request.m_lastExchange.outcome);
        EXPECT_EQ(c.status, request.m_lastExchange.status);
        EXPECT_EQ(c.kept, request.m_lastExchange.location);
        EXPECT_EQ(c.locationBytes, request.m_lastExchange.locationBytes);
    }
}

TEST_F(HttpRequestTest, ReplyThatNeverCameHasNoStatus) {
    fake::HttpReply refused;
    refused.sendFails = true;
    fake::Serve(refused);
    CHttpRequest request("10.0.0.5");
    std::string text;
    request.SendPost("Quorvex/connect_check.php", text, "");
    EXPECT_EQ(ExchangeOutcome::kFailed, request.m_lastExchange.outcome);
    EXPECT_EQ(0u, request.m_lastExchange.status);
    EXPECT_TRUE(OnlyRequest().headQueries.empty());
}

TEST_F(HttpRequestTest, ExchangeIsMadeAndAnsweredWhenNoThreadCanBeMade) {
    fake::kernel32.threadsFail = true;
    EXPECT_EQ("CONNECTED", Post(fake::Body("CONNECTED")));
    EXPECT_TRUE(OnlyRequest().sent);
    EXPECT_TRUE(fake::kernel32.waits.empty());
}

TEST_F(HttpRequestTest, FailedSendOrOpenLeavesTheReplyAsGiven) {
    for (bool openFails : {false, true}) {
        fake::ResetWinInet();
        winInet.openRequestFails = openFails;
        fake::HttpReply reply = fake::Body("CONNECTED");
        reply.sendFails = true;
        fake::Serve(reply);
        CHttpRequest request("10.0.0.5");
        std::string text = "given";
        request.SendPost("Quorvex/connect_check.php", text, "");
        EXPECT_EQ("given", text);
    }
}

TEST_F(HttpRequestTest, ReplyBodyIsCollectedChunkByChunk) {
    static_assert(kMaxFailedReads == 8, "the rows on failed reads count eight");
    const ReplyStep ab = {ReplyStep::Data, "AB", 1}, cd = {ReplyStep::Data, "CD", 1};
    constexpr std::size_t kWhole = ~std::size_t{0};
    struct Case {
        const char* name;
        std::vector<ReplyStep> steps;
        std::string reply;
        std::size_t reads = 0;  // how many reads were asked for; 0: not counted
        // A body that stops before its end is no reply: how many bytes had come, and the error.
        std::size_t cutAfter = kWhole;
        DWORD error = ERROR_SUCCESS;
    };
    const Case cases[] = {
        {"chunks are joined", {{ReplyStep::Data, "CONN", 1}, {ReplyStep::Data, "ECTED", 1}}, "CONNECTED"},
        {"a NUL ends its chunk",
         {{ReplyStep::Data, std::string("AB\0CD", 5), 1}, {ReplyStep::Data, "EF", 1}},
         "ABEF"},
        {"a failed read after data is retried",
         {{ReplyStep::Data, "AB", 1}, {ReplyStep::ReadFails, "", 1}, {ReplyStep::Data, "CD", 1}},
         "ABCD"},
        {"a failed first read cuts the body short",
         {{ReplyStep::ReadFails, "", 1}, {ReplyStep::Data, "CD", 1}},
         "",
         1,
         0,
         ERROR_INTERNET_CONNECTION_RESET},
        {"a failed query cuts the body short",
         {{ReplyStep::Data, "AB", 1}, {ReplyStep::QueryFails, "", 1}, {ReplyStep::Data, "CD", 1}},
         "",
         1,
         2,
         ERROR_INTERNET_TIMEOUT},
        {"a failed first query too",
         {{ReplyStep::QueryFails, "", 1}, {ReplyStep::Data, "CD", 1}},
         "",
         0,
         0,
         ERROR_INTERNET_TIMEOUT},
        {"a leading mark goes",
         {{ReplyStep::Data,
           "\xEF\xBB\xBF"
           "CONNECTED",
           1}},
         "CONNECTED"},
        // Failed reads are counted in a row.
        {"seven failed reads in a row are asked again",
         {ab, {ReplyStep::ReadFails, "", 7}, cd},
         "ABCD",
         1 + 7 + 1 + 1},
        {"eight cut it short",
         {ab, {ReplyStep::ReadFails, "", 8}, cd},
         "",
         1 + 8,
         2,
         ERROR_INTERNET_CONNECTION_RESET},
        {"a success starts the count again",
         {ab, {ReplyStep::ReadFails, "", 7}, cd, {ReplyStep::ReadFails, "", 7}, {ReplyStep::Data, "EF", 1}},
         "ABCDEF",
         1 + 7 + 1 + 7 + 1 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetWinInet();
        fake::HttpReply reply;
        reply.steps = c.steps;
        ExchangeResult result;
        EXPECT_EQ(c.reply, Post(reply, &result));
        if (c.reads != 0) {
            EXPECT_EQ(c.reads, OnlyRequest().readSizes.size());
        }
        const bool whole = c.cutAfter == kWhole;
        EXPECT_EQ(whole ? ExchangeOutcome::kAnswered : ExchangeOutcome::kCutShort, result.outcome);
        EXPECT_EQ(whole ? 0 : c.cutAfter, result.bodyBytes);
        EXPECT_EQ(c.error, result.error);
    }
}

TEST_F(HttpRequestTest, BodyUpToTheBoundIsKeptWhole) {
    fake::HttpReply reply;
    reply.steps = {{ReplyStep::Data, std::string(kMaxReplyBytes - 100, 'a'), 1},
                   {ReplyStep::Data, std::string(100, 'b'), 1}};

    std::string text = Post(reply);
    EXPECT_EQ(kMaxReplyBytes, text.size());
    EXPECT_EQ('b', text.back());
    // Each read asks for what is there, the end of the body included.
    EXPECT_EQ((std::vector<DWORD>{kMaxReplyBytes - 100, 100, 0}), OnlyRequest().readSizes);
}

TEST_F(HttpRequestTest, BodyPastTheBoundIsDroppedWithoutReadingOn) {
    struct Case {
        const char* name;
        ReplyStep step;
        std::size_t maxReads;
    };
    const Case cases[] = {
        {"one byte too many", {ReplyStep::Data, std::string(kMaxReplyBytes + 1, 'x'), 1}, 1},
        {"one large chunk", {ReplyStep::Data, std::string(4 * kMaxReplyBytes, 'x'), 1}, 1},
        // 4 MiB offered; a loop that read it all would show 1000 reads
        {"endless small chunks", {ReplyStep::Data, std::string(4096, 'x'), 1000}, kMaxReplyBytes / 4096 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetWinInet();
        fake::HttpReply reply;
        reply.steps = {c.step};
        EXPECT_EQ("", Post(reply));
        const std::vector<DWORD>& reads = OnlyRequest().readSizes;
        EXPECT_LE(reads.size(), c.maxReads);
        EXPECT_LE(*std::max_element(reads.begin(), reads.end()), kMaxReplyBytes + 1);
    }
}

TEST_F(HttpRequestTest, ExchangeStillBlockedAtTheDeadlineIsNoReplyAndTheLast) {
    struct Case {
        const char* name;
        ULONGLONG runLeft;  // of the whole run's deadline; 0 for none
        DWORD waited;
    };
    const Case cases[] = {
        {"the exchange's own 80 s", 0, 80000},
        {"the run's deadline first", 20000, 20000},
        {"the run's deadline later", 90000, 80000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetKernel32();
        fake::ResetWinInet();
        fake::kernel32.threadsHang = true;
        fake::Serve(fake::Body("CONNECTED"));
        CHttpRequest request("10.0.0.5");
        if (c.runLeft != 0) {
            request.SetDeadline(fake::kernel32.tickCount + c.runLeft);
        }
        std::string reply;
        request.SendPost("Quorvex/connect_check.php", reply, "");

        EXPECT_EQ("", reply);
        EXPECT_FALSE(request.m_bConnected);
        EXPECT_EQ(std::vector<DWORD>{c.waited}, fake::kernel32.waits);
        EXPECT_EQ(1, fake::kernel32.handlesClosed);

        // The blocked thread may still finish, long after; what it uses is still there, and it changes
        // nothing.
        ASSERT_EQ(1u, fake::kernel32.hanging.size());
        fake::kernel32.hanging[0].first(fake::kernel32.hanging[0].second);
        EXPECT_TRUE(OnlyRequest().sent);
        EXPECT_EQ("", reply);
    }
}

TEST_F(HttpRequestTest, NoExchangeBeginsOnceTheRunsDeadlineHasCome) {
    fake::Serve(fake::Body("CONNECTED"));
    CHttpRequest request("10.0.0.5");
    request.SetDeadline(fake::kernel32.tickCount);
    std::string reply;
    request.SendPost("Quorvex/connect_check.php", reply, "");

    EXPECT_EQ("", reply);
    EXPECT_FALSE(request.m_bConnected);
    EXPECT_TRUE(winInet.requests.empty());
}

TEST_F(HttpRequestTest, BodyStillComingAtTheDeadlineIsNoReplyAndTheLast) {
    fake::kernel32.tickStep = 20000;  // each look at the clock finds it 20 s later
    fake::HttpReply slow;
    slow.steps = {{ReplyStep::Data, "C", 1000}};
    fake::Serve(slow);
    CHttpRequest request("10.0.0.5");
    std::string reply;
    request.SendPost("Quorvex/connect_check.php", reply, "");

    EXPECT_EQ("", reply);
    EXPECT_FALSE(request.m_bConnected);
    // The clock reads 21, 41 and 61 s at the first three reads, and the deadline at the fourth look.
    EXPECT_EQ(3u, OnlyRequest().readSizes.size());
}

TEST_F(HttpRequestTest, ReadThatClaimsMoreThanItWasAskedForIsTakenAsAskedFor) {
    winInet.readOverstates = 1;  // one past the buffer: the sanitizers see any write there
    EXPECT_EQ("CONNECTED", Post(fake::Body("CONNECTED")));
}

}  // namespace
