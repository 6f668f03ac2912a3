// Whole runs against every fake at once: what each outcome of the service phase and of the report leaves in
// the Application log and in the kept outcome, and that the console and the exit status stay as they are.
#include "app/Run.h"
#include "check/CheckRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "config/ReportConfig.h"
#include "fakes/FakeEventLog.h"
#include "fakes/FakeIpHelper.h"
#include "fakes/FakeKernel32.h"
#include "fakes/FakeRegistry.h"
#include "fakes/FakeServiceControl.h"
#include "fakes/FakeWinInet.h"
#include "outcome/KeptOutcome.h"
#include "outcome/RunRecord.h"
#include "service/ServiceManager.h"
#include "transport/ReportProtocol.h"

namespace {

using fake::registry;
using fake::scm;
using fake::winInet;

const char kKept[] = "SOFTWARE\\qrvxSuninstall";
const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qrvxSuninstall";
const char kConfigurationPath[] = "c:\\tools\\qrvxconfig.ini";
// U+2060, as the event log fake gives it back.
const std::string kWordJoiner = "\xE2\x81\xA0";
const fake::Mac kFirst = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, kSecond = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};

// The server as the run finds it: what each exchange answers.
struct Answers {
    std::string connect = "CONNECTED";
    std::string registered = "00-1A-2B-3C-4D-5F";  // the one adapter it knows
    std::string message = "TRUE";
    DWORD checkStatus = 200;  // of every registration check's reply, and its Location
    std::string checkLocation;
};

Answers answers;

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

fake::HttpReply Answer(const fake::RequestRecord& request) {
    if (EndsWith(request.path, "Quorvex/connect_check.php")) {
        return fake::Body(answers.connect);
    }
    if (EndsWith(request.path, "Quorvex/register_check.php")) {
        fake::HttpReply reply = fake::Body(
            request.body == "m=" + answers.registered ? "REGISTERED" : "NOT REGISTERED", answers.checkStatus);
        reply.location = answers.checkLocation;
        return reply;
    }
    return fake::Body(answers.message);
}

class RunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::ResetKernel32();
        fake::ResetServiceControl();
        fake::ResetWinInet();
        fake::ResetIpHelper();
        fake::ResetRegistry();
        fake::ResetEventLog();
        CServiceManager::SettingsInitialised = 0;
        answers = Answers();
        winInet.server = Answer;
        fake::ipHelper.adapters = {kFirst, kSecond};
        fake::kernel32.profileValue = "127.0.0.1";
        fake::kernel32.messages = {
            {WAIT_TIMEOUT, "The wait operation timed out."},
            {ERROR_DEPENDENT_SERVICES_RUNNING,
             "A stop control has been sent to a service that other running "
             "services are dependent on."},
            {ERROR_INTERNET_CANNOT_CONNECT, "The attempt to connect to the server failed."},
            {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
        };
    }

    // The run keeps what the report made to the end of the process; a test does not.
    void TearDown() override {
        delete g_pHttpRequest;
        delete g_pReportSettings;
        delete g_pConfigPaths;
        g_pHttpRequest = nullptr;
        g_pReportSettings = nullptr;
        g_pConfigPaths = nullptr;
        EXPECT_EQ(0, registry.openKeys) << "registry keys left open";
        EXPECT_EQ(0, fake::eventLog.sourcesOpen) << "event sources left open";
    }

    // Runs the whole program; checks what it prints and returns.
    static void Run() {
        ::testing::internal::CaptureStdout();
        const int status = RunUninstall();
        EXPECT_EQ("Service Uninstalled...\nService Uninstall Finished !\n",
                  ::testing::internal::GetCapturedStdout());
        EXPECT_EQ(0, status);
    }

    // Runs the check's dry run; returns its status, and what it printed in `printed`.
    static int DryRun(std::string& printed) {
        char program[] = "qrvxScheck", preflight[] = "preflight";
        char* arguments[] = {program, preflight};
        ::testing::internal::CaptureStdout();
        const int status = RunCheck(2, arguments);
        printed = ::testing::internal::GetCapturedStdout();
        return status;
    }
};

struct OutcomeCase {
    const char* name;
    std::function<void()> script;
    DWORD eventId;
    WORD type;
    const char* report;
    // What the text must say, in this order; the first of them within the part Wine's trace shows.
    std::vector<std::string> says;
    const char* ends = nullptr;  // how it ends, when that matters
    // What the dry run before it foresees, where the run meets what no look beforehand can tell: -1 for the
    // launcher's status after it.
    int foreseen = -1;
};

void PrintTo(const OutcomeCase& c, std::ostream* os) {
    *os << c.name;
}

class RunOutcomeTest : public RunTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(RunOutcomeTest, IsWrittenToTheApplicationLogAndKept) {
    const OutcomeCase& c = GetParam();
    registry.keys[kKept]["Report"] = {REG_SZ, std::string("an earlier run's", 17)};
    c.script();
    Run();

    ASSERT_EQ(1u, fake::eventLog.events.size());
    const fake::Event& event = fake::eventLog.events[0];
    EXPECT_EQ("qrvxSuninstall", event.source);
    EXPECT_EQ(c.eventId, event.id);
    EXPECT_EQ(c.type, event.type);
    EXPECT_EQ(0, event.category);
    EXPECT_FALSE(event.userSid || event.rawData);
    ASSERT_EQ(1u, event.strings.size());
    const std::string& text = event.strings[0];
    std::size_t at = 0;
    for (const std::string& said : c.says) {
        const std::size_t found = text.find(said, at);
        EXPECT_NE(std::string::npos, found) << "\"" << said << "\" after offset " << at << " in:\n" << text;
        at = found == std::string::npos ? at : found + said.size();
    }
    // Wine's trace shows an event's first 277 characters: the outcome and its reason come first.
    EXPECT_LT(text.find(c.says[0]), 277u - c.says[0].size()) << text;
    if (c.ends != nullptr) {
        const std::string ends = c.ends;
        EXPECT_EQ(ends, text.substr(text.size() - std::min(text.size(), ends.size()))) << text;
    }

    // Every "%" of the event's string a percent sign as Event Viewer shows it, never the start of an
    // insertion of its own; the kept text as it was written.
    std::string written = text;
    for (std::size_t percent = written.find('%'); percent != std::string::npos;
         percent = written.find('%', percent + 1)) {
        EXPECT_EQ(kWordJoiner, written.substr(percent + 1, kWordJoiner.size())) << text;
        written.erase(percent + 1, kWordJoiner.size());
    }
    EXPECT_EQ(c.report, registry.Text(kKept, "Report"));
    EXPECT_EQ(c.eventId, registry.Number(kKept, "Outcome"));
    EXPECT_EQ(written, registry.Text(kKept, "Text"));
    EXPECT_EQ(REG_SZ, registry.keys[kKept]["Report"].type);
}

// The dry run, then the run, from the same start: the dry run asks what the run asks, up to the message and
// never the message itself; it leaves the service, the kept outcome and the Application log as they were;
// and its status is the one the launcher gives after the run.
TEST_P(RunOutcomeTest, DryRunForeseesTheLaunchersStatusAndChangesNothing) {
    const OutcomeCase& c = GetParam();
    registry.keys[kKept]["Report"] = {REG_SZ, std::string("an earlier run's", 17)};
    c.script();
    const auto registryBefore = registry.keys;
    std::string printed;
    const int foreseen = DryRun(printed);
    std::vector<std::string> asked;
    for (const fake::RequestRecord& request : winInet.requests) {
        asked.push_back(request.path);
    }
    for (const fake::ScCall& call : scm.calls) {
        EXPECT_TRUE(call.op != fake::ScOp::Control && call.op != fake::ScOp::Delete) << printed;
    }
    EXPECT_TRUE(scm.openHandles.empty());
    EXPECT_TRUE(registry.keys == registryBefore) << printed;
    EXPECT_TRUE(fake::eventLog.events.empty()) << printed;
    // First what it is, then the service as the run would find it and what the run would do to it.
    const std::string head =
        "Dry run: nothing is removed, and the management server is told nothing.\nService QUORVEX$TARNIKE: ";
    ASSERT_EQ(head, printed.substr(0, head.size())) << printed;
    const std::string service = printed.substr(head.size(), printed.find('\n', head.size()) - head.size());
    if (service.find("stopped;") == 0) {
        EXPECT_EQ("stopped; the run would delete it.", service);
    } else if (service.find("running;") == 0 || service.find("starting;") == 0) {
        EXPECT_NE(std::string::npos, service.find("; the run would stop it, then delete it.")) << service;
    }
    // A line for each exchange, and for the address where there is one.
    std::size_t exchangeLines = 0;
    for (std::size_t at = printed.find("\nQuorvex/"); at != std::string::npos;
         at = printed.find("\nQuorvex/", at + 1)) {
        ++exchangeLines;
    }
    const std::size_t listed = std::min(g_runRecord.exchangeCount, kListedExchanges);
    const bool registered = listed > 0 && g_runRecord.exchanges[listed - 1].kind == ExchangeKind::kRegister &&
                            g_runRecord.exchanges[listed - 1].yes;
    EXPECT_EQ(g_runRecord.exchangeCount + (registered ? 1 : 0), exchangeLines) << printed;
    EXPECT_EQ(printed.find(". Server: \"") != std::string::npos,
              printed.find("\nEach exchange is posted under ") != std::string::npos)
        << printed;
    // The last line: the status, and what a run would do, in the words of its class.
    const std::map<int, std::string> says = {
        {0, "a run now would remove the service"},
        {3010, "a run now would remove the service, which goes at the next restart,"},
        {1618, " but not tell the management server: "},
        {1610, "qrvxconfig.ini names no management server: "},
        {1603, "a run now would leave the service installed"},
    };
    const std::size_t lastLine = printed.rfind('\n', printed.size() - 2) + 1;
    EXPECT_EQ(std::to_string(foreseen) + ": ", printed.substr(lastLine, std::to_string(foreseen).size() + 2))
        << printed;
    EXPECT_NE(std::string::npos, printed.find(says.at(foreseen), lastLine)) << printed;

    TearDown();
    SetUp();
    registry.keys[kKept]["Report"] = {REG_SZ, std::string("an earlier run's", 17)};
    c.script();
    Run();
    std::vector<std::string> runAsked;
    for (const fake::RequestRecord& request : winInet.requests) {
        if (!EndsWith(request.path, "message_post.php")) {
            runAsked.push_back(request.path);
        }
    }
    EXPECT_EQ(runAsked, asked) << "the dry run asks what the run asks, and never the message\n" << printed;
    char program[] = "qrvxScheck";
    char* check[] = {program};
    ::testing::internal::CaptureStdout();
    const int launcherStatus = RunCheck(1, check);
    ::testing::internal::GetCapturedStdout();
    if (c.foreseen < 0) {
        EXPECT_EQ(launcherStatus, foreseen) << printed;
    } else {
        EXPECT_EQ(c.foreseen, foreseen) << printed;
        EXPECT_NE(launcherStatus, foreseen) << "foreseen after all";
    }
}

void NeverStops() {
    scm.state = SERVICE_RUNNING;
}

// A server that knows none of the adapters and answers every check with `status`.
std::function<void()> ChecksAnswered(DWORD status, const std::string& location = "") {
    return [status, location] {
        answers.registered = "none";
        answers.checkStatus = status;
        answers.checkLocation = location;
    };
}

// A service marked for deletion, which the run meets in the call that `fails`; a ChangeServiceConfig that
// changes nothing says so as well.
void MarkedForDeletion(DWORD* fails) {
    *fails = ERROR_SERVICE_MARKED_FOR_DELETE;
    scm.configError = ERROR_SERVICE_MARKED_FOR_DELETE;
}

// As Windows answers for 0.0.0.0, where no server can be.
void NothingListens() {
    fake::HttpReply refused;
    refused.sendFails = true;
    refused.sendError = ERROR_INTERNET_CANNOT_CONNECT;
    fake::Serve(refused);
}

// A configuration file that is there but that CreateFileA cannot open, with `error`: the profile reader
// then gives its default, as for a file that is not there.
std::function<void()> ConfigurationUnreadable(DWORD error) {
    return [error] {
        fake::kernel32.profileValue.reset();
        fake::kernel32.openErrors[kConfigurationPath] = error;
        NothingListens();
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunOutcomeTest,
    ::testing::Values(
        OutcomeCase{
            "Told",
            [] { scm.state = SERVICE_STOPPED; },
            100,
            EVENTLOG_INFORMATION_TYPE,
            "told",
            {"gone from this machine. The management server was told, for network adapter 00-1A-2B-3C-4D-5F.",
             "The service QUORVEX$TARNIKE was stopped; it was deleted.",
             "Configuration file: c:\\tools\\qrvxconfig.ini, found.",
             "Server: \"127.0.0.1\", port 80, over plain HTTP."},
            "\r\nExchanges with the server:"
            "\r\n  Quorvex/connect_check.php: answered \"CONNECTED\", HTTP 200."
            "\r\n  Quorvex/register_check.php, adapter 00-1A-2B-3C-4D-5E: answered \"NOT REGISTERED\", HTTP "
            "200."
            "\r\n  Quorvex/register_check.php, adapter 00-1A-2B-3C-4D-5F: answered \"REGISTERED\", HTTP 200."
            "\r\n  Quorvex/message_post.php, adapter 00-1A-2B-3C-4D-5F: answered \"TRUE\", HTTP 200."
            "\r\nNetwork adapters: 2."},
        OutcomeCase{"ToldAfterStoppingItOverTls",
                    [] {
                        scm.state = SERVICE_RUNNING;
                        scm.answers = {{SERVICE_RUNNING}, {SERVICE_RUNNING}, {SERVICE_STOPPED}};
                        fake::kernel32.profileValue = "https://mgmt.example.com:8443/q";
                        fake::ipHelper.adapters = {kSecond};
                    },
                    100,
                    EVENTLOG_INFORMATION_TYPE,
                    "told",
                    {"The management server was told", "was running; it was stopped and deleted.",
                     "Server: \"https://mgmt.example.com:8443/q\", port 8443, over TLS."},
                    "Network adapters: 1."},
        OutcomeCase{"NotInstalled",
                    [] { scm.installed = false; },
                    100,
                    EVENTLOG_INFORMATION_TYPE,
                    "told",
                    {"The Quorvex service is gone", "The service QUORVEX$TARNIKE was not installed."}},
        OutcomeCase{
            "NoAdapterRegistered",
            [] { answers.registered = "none"; },
            101,
            EVENTLOG_WARNING_TYPE,
            "not registered",
            {"The management server knows none of this machine's network adapters: there was nothing to "
             "tell it.",
             "adapter 00-1A-2B-3C-4D-5F: answered \"NOT REGISTERED\", HTTP 200."}},
        OutcomeCase{"OnlyAdapterNotRegistered",
                    [] {
                        answers.registered = "none";
                        fake::ipHelper.adapters = {kFirst};
                    },
                    101,
                    EVENTLOG_WARNING_TYPE,
                    "not registered",
                    {"knows none of this machine's network adapters"}},
        // A check answered with anything but a success is not the server's word on the adapter: the server
        // is asked again by a rerun. Only the body says yes or no, and none said yes.
        OutcomeCase{
            "ChecksRedirected",
            ChecksAnswered(301, "http://mgmt2.example.com/Quorvex/register_check.php"),
            102,
            EVENTLOG_WARNING_TYPE,
            "not told",
            {"not told this time: the check of adapter 00-1A-2B-3C-4D-5E answered \"NOT REGISTERED\", "
             "HTTP 301, a redirect to \"http://mgmt2.example.com/Quorvex/register_check.php\", which is "
             "not followed."}},
        OutcomeCase{"ChecksNotFound",
                    ChecksAnswered(404),
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"the check of adapter 00-1A-2B-3C-4D-5E answered \"NOT REGISTERED\", HTTP 404."}},
        OutcomeCase{"ProxyAsksForCredentials",
                    ChecksAnswered(407),
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"HTTP 407: a proxy asks for credentials, which SYSTEM cannot give it."}},
        OutcomeCase{"ChecksFailedByTheServer",
                    ChecksAnswered(500),
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"the check of adapter 00-1A-2B-3C-4D-5E answered \"NOT REGISTERED\", HTTP 500."}},
        OutcomeCase{"ServerTooBusyForTheChecks",
                    ChecksAnswered(503),
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"the check of adapter 00-1A-2B-3C-4D-5E answered \"NOT REGISTERED\", HTTP 503.",
                     "adapter 00-1A-2B-3C-4D-5F: answered \"NOT REGISTERED\", HTTP 503."}},
        OutcomeCase{
            "ChecksWithoutAStatus",
            ChecksAnswered(0),
            102,
            EVENTLOG_WARNING_TYPE,
            "not told",
            {"the check of adapter 00-1A-2B-3C-4D-5E answered \"NOT REGISTERED\", with no HTTP status."}},
        OutcomeCase{
            "NotReached",
            NothingListens,
            102,
            EVENTLOG_WARNING_TYPE,
            "not told",
            {"was not told this time: the connect check failed: WinINet error 12029 (The attempt to "
             "connect to the server failed.). Running qrvxSuninstall again tells it."},
            // Nothing after it: no adapter was asked about, so none is counted.
            "\r\n  Quorvex/connect_check.php: failed: WinINet error 12029 (The attempt to connect to the "
            "server failed.)."},
        OutcomeCase{"NotConnected",
                    [] { answers.connect = "<html>\x01 busy</html>"; },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"not told this time: the connect check answered \"<html>\\x01 busy</html>\""},
                    "Exchanges with the server:\r\n  Quorvex/connect_check.php: answered \"<html>\\x01 "
                    "busy</html>\", HTTP 200."},
        // Percent signs in what the program does not choose, the address and the replies, as they came.
        OutcomeCase{"PercentSignsInTheAddressAndTheReply",
                    [] {
                        fake::kernel32.profileValue = "127.0.0.1/Quorvex%20Admin";
                        answers.connect = "%%1 busy: %1";
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"the connect check answered \"%\xE2\x81\xA0%\xE2\x81\xA0"
                     "1 busy: %\xE2\x81\xA0"
                     "1\"",
                     "Server: \"127.0.0.1/Quorvex%\xE2\x81\xA0"
                     "20Admin\", port 80"}},
        // The reply as compared, in printable ASCII, cut short.
        OutcomeCase{"MessageNotTrue",
                    [] { answers.message = "FALSE \"\\\x7F\x80\xFC " + std::string(46, 'x'); },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"not told this time: the message answered \"FALSE \\x22\\x5C\\x7F\\x80\\xFC xxx",
                     "xxx\" (the first of 58 bytes), HTTP 200."},
                    nullptr,
                    0},
        OutcomeCase{"CheckWithoutAnswerInTime",
                    [] {
                        winInet.server = [](const fake::RequestRecord& request) {
                            if (request.path == "Quorvex/register_check.php") {
                                fake::kernel32.threadsHang = true;  // this one and all after it
                            }
                            return Answer(request);
                        };
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"not told this time: the check of adapter 00-1A-2B-3C-4D-5E had no answer within 80 s",
                     "adapter 00-1A-2B-3C-4D-5F: not sent: no connection to the server."}},
        OutcomeCase{
            "NoAdapter",
            [] { fake::ipHelper.adapters.clear(); },
            102,
            EVENTLOG_WARNING_TYPE,
            "not told",
            {"not told this time: the server answered, but this machine lists no IPv4 network adapter "
             "for the server to know it by. A rerun tells it once one is listed."},
            "Network adapters: none, this machine lists no IPv4 network adapter for the server to "
            "know it by."},
        OutcomeCase{
            "AdapterListUnreadable",
            [] { fake::ipHelper.results = {ERROR_NOT_SUPPORTED}; },
            102,
            EVENTLOG_WARNING_TYPE,
            "not told",
            {"the server answered, but this machine's network adapters could not be listed: error 50"}},
        // Known by none only when every adapter of the list as it is after the sweep was asked about.
        OutcomeCase{"AdapterCameDuringTheSweep",
                    [] {
                        answers.registered = "none";
                        fake::ipHelper.growth = {0, 0, 0, 0, 1};
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"not told this time: this machine's network adapters changed while the server was asked "
                     "about them (2 listed before, 3 after), so not every one of them was asked about."},
                    "Network adapters: 2, and they changed while they were asked about (3 after)."},
        OutcomeCase{"AdapterWentDuringTheSweep",
                    [] {
                        answers.registered = "none";
                        fake::ipHelper.growth = {0, -1};
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"network adapters changed while the server was asked about them (2 listed before, 1 "
                     "after)"}},
        OutcomeCase{"AdapterAddressUnreadableDuringTheSweep",
                    [] {
                        answers.registered = "none";
                        fake::ipHelper.results = {ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_NO_DATA};
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"network adapters changed while the server was asked about them (2 listed before, 2 "
                     "after)"}},
        OutcomeCase{"AdapterListUnreadableAfterTheSweep",
                    [] {
                        answers.registered = "none";
                        fake::ipHelper.results = {ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS,
                                                  ERROR_SUCCESS, ERROR_SUCCESS, ERROR_NO_DATA};
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"network adapters changed while the server was asked about them (2 listed before, 0 "
                     "after)"}},
        // A body that stops after the headers (the receive time-out, a reset) is no answer, yes or no.
        OutcomeCase{"CheckBodiesCutShort",
                    [] {
                        winInet.server = [](const fake::RequestRecord& request) {
                            fake::HttpReply reply = Answer(request);
                            if (request.path == "Quorvex/register_check.php") {
                                reply.steps = {{fake::ReplyStep::Data, "NOT REG", 1},
                                               {fake::ReplyStep::QueryFails, "", 1}};
                            }
                            return reply;
                        };
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"not told this time: the check of adapter 00-1A-2B-3C-4D-5E cut short after 7 bytes of "
                     "its reply, HTTP 200, which is no answer: WinINet error 12002."}},
        OutcomeCase{"NoConfigurationFile",
                    [] {
                        fake::kernel32.profileValue.reset();
                        fake::kernel32.missingFiles = {kConfigurationPath};
                        NothingListens();
                    },
                    103,
                    EVENTLOG_WARNING_TYPE,
                    "no server",
                    {"was not told: qrvxconfig.ini was not found",
                     "Configuration file: c:\\tools\\qrvxconfig.ini, not found."}},
        // The file is there, but another program holds it without sharing: a rerun reads it.
        OutcomeCase{
            "ConfigurationHeldOpen",
            ConfigurationUnreadable(ERROR_SHARING_VIOLATION),
            102,
            EVENTLOG_WARNING_TYPE,
            "not told",
            {"not told this time: qrvxconfig.ini could not be read now: error 32; another program "
             "holds it, or its share could not be reached.",
             "Configuration file: c:\\tools\\qrvxconfig.ini, found, but it could not be read: error 32."}},
        OutcomeCase{"ConfigurationAccessDenied",
                    ConfigurationUnreadable(ERROR_ACCESS_DENIED),
                    103,
                    EVENTLOG_WARNING_TYPE,
                    "no server",
                    {"was not told: qrvxconfig.ini is there but could not be read: error 5."}},
        OutcomeCase{"NoHostAddressKey",
                    [] {
                        fake::kernel32.profileValue.reset();
                        NothingListens();
                    },
                    103,
                    EVENTLOG_WARNING_TYPE,
                    "no server",
                    {"was not told: HostAddress is missing, or 0.0.0.0"}},
        OutcomeCase{"EmptyHostAddress",
                    [] { fake::kernel32.profileValue = ""; },
                    103,
                    EVENTLOG_WARNING_TYPE,
                    "no server",
                    {"was not told: HostAddress is empty", "No server: HostAddress is empty.",
                     "  Quorvex/connect_check.php: not sent: no connection to the server."}},
        OutcomeCase{
            "HostAddressTooLong",
            [] { fake::kernel32.profileValue = "127.0.0.1/" + std::string(kMaxHostAddressBytes, 'p'); },
            103,
            EVENTLOG_WARNING_TYPE,
            "no server",
            {"was not told: HostAddress is longer than 511 bytes"}},
        // The configured text as it is, in the ANSI code page, but for its control bytes.
        OutcomeCase{
            "PortRefused",
            [] { fake::kernel32.profileValue = "mgmt.example.com:0/\xB0\xFC\x09"; },
            103,
            EVENTLOG_WARNING_TYPE,
            "no server",
            {"HostAddress \"mgmt.example.com:0/\xB0\xFC\\x09\" is refused whole: what follows the colon "
             "is not a port"}},
        // The sample configuration as it ships: a package to mend, not a server to try again.
        OutcomeCase{"SampleAddressAsShipped",
                    [] { fake::kernel32.profileValue = "mgmt.example.invalid"; },
                    103,
                    EVENTLOG_WARNING_TYPE,
                    "no server",
                    {"was not told: qrvxconfig.ini still holds the sample's address, HostAddress "
                     "\"mgmt.example.invalid\", a name under .invalid, which never resolves."}},
        // The profile reader keeps a comment after the value: the admin must see it, not a server.
        OutcomeCase{
            "CommentAfterTheAddress",
            [] { fake::kernel32.profileValue = "127.0.0.1 ; our server"; },
            103,
            EVENTLOG_WARNING_TYPE,
            "no server",
            {"was not told: HostAddress \"127.0.0.1 ; our server\" is refused whole: \" ; our server\" "
             "follows the host, and no host name holds it; a comment belongs on a line of its own."}},
        OutcomeCase{"SchemeRefused",
                    [] { fake::kernel32.profileValue = "HTTPS://mgmt.example.com"; },
                    103,
                    EVENTLOG_WARNING_TYPE,
                    "no server",
                    {"is refused whole: it begins with a scheme other than http:// or https://"}},
        // The report goes on, and is told, whatever became of the service.
        OutcomeCase{
            "StillRunningAfterTheWait",
            NeverStops,
            104,
            EVENTLOG_ERROR_TYPE,
            "told",
            {"still installed: it was running and was left installed, error 258 (The wait operation timed "
             "out.).",
             "The management server was told",
             "The service QUORVEX$TARNIKE was running; it was left installed: error 258 (The wait operation "
             "timed out.)."},
            nullptr,
            0},
        OutcomeCase{"DeleteRefused",
                    [] { scm.deleteError = ERROR_ACCESS_DENIED; },
                    104,
                    EVENTLOG_ERROR_TYPE,
                    "told",
                    {"still installed: it was stopped and was left installed, error 5.",
                     "The service QUORVEX$TARNIKE was stopped; it was left installed: error 5.\r\n"},
                    nullptr,
                    0},
        OutcomeCase{"NotLookedAt",
                    [] { scm.openServiceError = ERROR_ACCESS_DENIED; },
                    104,
                    EVENTLOG_ERROR_TYPE,
                    "told",
                    {"may still be installed: it could not be looked at, error 5.",
                     "The service QUORVEX$TARNIKE could not be looked at: error 5.\r\n"}},
        OutcomeCase{"DependentServicesRunning",
                    [] {
                        NeverStops();
                        scm.stopError = ERROR_DEPENDENT_SERVICES_RUNNING;
                    },
                    104,
                    EVENTLOG_ERROR_TYPE,
                    "told",
                    {"still installed: it was running and was left installed, error 1051 (A stop control"},
                    nullptr,
                    0},
        OutcomeCase{
            "NoServiceControlManager",
            [] { scm.managerOpensLeft = 0; },
            104,
            EVENTLOG_ERROR_TYPE,
            "told",
            {"may still be installed: it could not be looked at, the Service Control Manager could not be "
             "opened: error 5.",
             "The service QUORVEX$TARNIKE could not be looked at: the Service Control Manager could not be "
             "opened: error 5."}},
        // A rerun after a deletion that another program's handle holds up: whichever call answers 1072, the
        // service goes at the next restart, and the event says the report's outcome.
        OutcomeCase{
            "MarkedForDeletionAlready",
            [] { MarkedForDeletion(&scm.deleteError); },
            100,
            EVENTLOG_INFORMATION_TYPE,
            "told",
            {"goes from this machine at the next restart: it is marked for deletion, and another "
             "program still holds it open. The management server was told",
             "The service QUORVEX$TARNIKE was stopped; it was already marked for deletion: error 1072 "
             "(The specified service has been marked for deletion.). The Service Control Manager "
             "deletes it once no program holds it open, at the latest at the next restart.\r\n"}},
        OutcomeCase{"MarkedForDeletionAndNotReached",
                    [] {
                        MarkedForDeletion(&scm.deleteError);
                        NothingListens();
                    },
                    102,
                    EVENTLOG_WARNING_TYPE,
                    "not told",
                    {"goes from this machine at the next restart", "was not told this time"}},
        OutcomeCase{"MarkedForDeletionNotOpened",
                    [] { scm.openServiceError = ERROR_SERVICE_MARKED_FOR_DELETE; },
                    100,
                    EVENTLOG_INFORMATION_TYPE,
                    "told",
                    {"goes from this machine at the next restart",
                     "The service QUORVEX$TARNIKE was already marked for deletion: error 1072"}},
        OutcomeCase{
            "MarkedForDeletionNotLookedAt",
            [] {
                scm.answers = {{SERVICE_STOPPED, ERROR_SERVICE_MARKED_FOR_DELETE}};
                scm.configError = ERROR_SERVICE_MARKED_FOR_DELETE;
            },
            100,
            EVENTLOG_INFORMATION_TYPE,
            "told",
            {"goes from this machine at the next restart", "already marked for deletion: error 1072"}},
        OutcomeCase{"MarkedForDeletionNotStopped",
                    [] {
                        NeverStops();
                        MarkedForDeletion(&scm.stopError);
                    },
                    100,
                    EVENTLOG_INFORMATION_TYPE,
                    "told",
                    {"goes from this machine at the next restart",
                     "The service QUORVEX$TARNIKE was running; it was already marked for deletion"},
                    nullptr,
                    3010},
        OutcomeCase{"StartingThenLeftAndNotReached",
                    [] {
                        scm.state = SERVICE_START_PENDING;
                        winInet.connectFails = true;
                        winInet.failError = ERROR_INTERNET_CANNOT_CONNECT;
                    },
                    104,
                    EVENTLOG_ERROR_TYPE,
                    "not told",
                    {"it was starting and was left installed, error 258",
                     "not told this time: WinINet could not be made ready: WinINet error 12029",
                     "over plain HTTP. WinINet could not be made ready for it: WinINet error 12029"},
                    nullptr,
                    1618}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return std::string(info.param.name); });

TEST_F(RunTest, EventHasADescriptionFromAFileOfWindowsItself) {
    Run();
    EXPECT_EQ("%SystemRoot%\\System32\\EventCreate.exe", registry.Text(kSourceKey, "EventMessageFile"));
    EXPECT_EQ(REG_EXPAND_SZ, registry.keys[kSourceKey]["EventMessageFile"].type);
    EXPECT_EQ(7u, registry.Number(kSourceKey, "TypesSupported"));
    EXPECT_EQ(std::vector<std::string>{"qrvxSuninstall"}, fake::eventLog.sourcesRegistered);
    // The kept outcome in the 64-bit view whatever the program's own; nothing else asked of the registry.
    for (const fake::RegOpen& open : registry.opens) {
        SCOPED_TRACE(open.path);
        EXPECT_TRUE(open.create);
        EXPECT_EQ(open.path == kKept ? KEY_SET_VALUE | KEY_WOW64_64KEY : KEY_SET_VALUE, open.access);
    }
    EXPECT_EQ(2u, registry.opens.size());
}

TEST_F(RunTest, RunGoesOnWhenNeitherEventNorRecordCanBeWritten) {
    fake::eventLog.registerFails = true;
    registry.createError = ERROR_ACCESS_DENIED;
    Run();
    EXPECT_TRUE(fake::eventLog.events.empty());
    EXPECT_TRUE(registry.keys.empty());
    EXPECT_TRUE(scm.deleted);
    EXPECT_EQ(4u, winInet.requests.size()) << "the whole report";
}

// A record that could not be written whole says nothing, rather than the word an earlier run left.
TEST_F(RunTest, RecordWrittenInPartHasNoReport) {
    for (const char* failing : {"Outcome", "Text", "Report"}) {
        SCOPED_TRACE(failing);
        fake::ResetRegistry();
        registry.keys[kKept]["Report"] = {REG_SZ, std::string("not told", 9)};
        registry.setError = ERROR_ACCESS_DENIED;
        registry.setFailsFor = failing;
        Run();
        EXPECT_EQ(0u, registry.keys[kKept].count("Report"));
        TearDown();
    }
}

TEST_F(RunTest, EveryDllLoadedLaterComesFromTheSystemDirectory) {
    for (bool available : {true, false}) {
        SCOPED_TRACE(available ? "Windows with SetDefaultDllDirectories" : "Windows 7 without KB2533623");
        SetUp();
        fake::kernel32.noDllDirectories = !available;
        Run();
        // Made once, first of all: before even the program's own path is asked for.
        EXPECT_EQ((std::vector<std::pair<DWORD, int>>{{LOAD_LIBRARY_SEARCH_SYSTEM32, 0}}),
                  fake::kernel32.dllDirectories);
        EXPECT_GT(fake::kernel32.moduleFileNameCalls, 0);
        EXPECT_EQ(4u, winInet.requests.size()) << "the whole report, with the call or without it";
        TearDown();

        // And so for the check's dry run, the one mode of the check that loads them.
        SetUp();
        fake::kernel32.noDllDirectories = !available;
        std::string printed;
        EXPECT_EQ(0, DryRun(printed));
        EXPECT_EQ((std::vector<std::pair<DWORD, int>>{{LOAD_LIBRARY_SEARCH_SYSTEM32, 0}}),
                  fake::kernel32.dllDirectories);
        TearDown();
    }
}

TEST_F(RunTest, WinInetsCodesAreDescribedFromItsOwnModule) {
    fake::HttpReply refused;
    refused.sendFails = true;
    fake::Serve(refused);
    Run();
    bool fromWinInet = false;
    for (const auto& lookup : fake::kernel32.messageLookups) {
        fromWinInet = fromWinInet || ((lookup.first & FORMAT_MESSAGE_FROM_HMODULE) != 0 &&
                                      lookup.second == fake::kWinInetModule);
        // One line each, and never the inserts of a text that has any.
        EXPECT_NE(0u, lookup.first & FORMAT_MESSAGE_IGNORE_INSERTS);
        EXPECT_NE(0u, lookup.first & FORMAT_MESSAGE_MAX_WIDTH_MASK);
    }
    EXPECT_TRUE(fromWinInet);
}

// A run that left an exchange blocked in WinINet tells its outcome all the same, then ends without
// WinINet's detach code.
TEST_F(RunTest, RunLeftWaitingOnTheServerTellsItsOutcomeThenEndsAtOnce) {
    fake::kernel32.threadsHang = true;
    Run();
    ASSERT_EQ(1u, fake::eventLog.events.size());
    EXPECT_NE(std::string::npos,
              fake::eventLog.events[0].strings[0].find("the connect check had no answer within 80 s"));
    EXPECT_EQ("not told", registry.Text(kKept, "Report"));
    EXPECT_EQ((std::vector<std::pair<HANDLE, UINT>>{{fake::kCurrentProcess, 0}}),
              fake::kernel32.terminations);
    for (auto& hanging : fake::kernel32.hanging) {
        hanging.first(hanging.second);  // so that no exchange is left running for the tests after this one
    }

    // The dry run, with its own status.
    TearDown();
    SetUp();
    fake::kernel32.threadsHang = true;
    std::string printed;
    EXPECT_EQ(1618, DryRun(printed));
    EXPECT_EQ((std::vector<std::pair<HANDLE, UINT>>{{fake::kCurrentProcess, 1618}}),
              fake::kernel32.terminations);
    for (auto& hanging : fake::kernel32.hanging) {
        hanging.first(hanging.second);
    }
}

TEST_F(RunTest, ManyExchangesStayWithinWhatAnEventHolds) {
    fake::ipHelper.adapters.clear();
    for (unsigned char n = 0; n < 60; ++n) {
        fake::ipHelper.adapters.push_back({0x00, 0x1A, 0x2B, 0x3C, 0x4E, n});
    }
    answers.registered = "none";
    winInet.server = [](const fake::RequestRecord& request) {
        fake::HttpReply reply = Answer(request);
        if (request.path == "Quorvex/register_check.php") {
            reply.steps[0].bytes = std::string(70000, '\x80');  // no reply, and far too long to show
        }
        return reply;
    };
    Run();
    ASSERT_EQ(1u, fake::eventLog.events.size());
    const std::string& text = fake::eventLog.events[0].strings[0];
    EXPECT_LT(text.size(), 31839u);
    EXPECT_NE(std::string::npos, text.find("\r\n  and 29 more, not listed."))
        << text.substr(text.size() - 200);
    EXPECT_EQ(GetEventId(g_runRecord), kEventNotTold) << "no check was answered";
}

// Only a reply with a success status is the server's word on an adapter.
TEST(RunRecordTest, OnlyASuccessStatusIsTheServersAnswer) {
    for (const auto& [status, servers] : std::vector<std::pair<DWORD, bool>>{
             {199, false}, {200, true}, {299, true}, {300, false}, {0, false}}) {
        SCOPED_TRACE(status);
        ExchangeResult result(ExchangeOutcome::kAnswered, ERROR_SUCCESS);
        result.status = status;
        EXPECT_EQ(servers, IsServersAnswer(result));
        result.outcome = ExchangeOutcome::kTooLong;
        EXPECT_FALSE(IsServersAnswer(result));
    }
}

}  // namespace
