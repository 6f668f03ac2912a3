#include "service/ServiceManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/FixedText.h"
#include "config/ServiceIdentity.h"
#include "fakes/FakeKernel32.h"
#include "fakes/FakeServiceControl.h"

namespace {

using fake::scm;
using fake::ScOp;
using Settings = ServiceSettingsRecord;

Settings& settings() {
    return CServiceManager::ServiceSettings;
}

class ServiceControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::ResetKernel32();
        fake::ResetServiceControl();
        CServiceManager::SettingsInitialised = 1;
        CopyText(settings().serviceName, "QUORVEX$TARNIKE");
    }

    // Whatever the path, nothing stays open and no manager handle goes before a service handle on it.
    void TearDown() override {
        EXPECT_TRUE(scm.openHandles.empty()) << scm.openHandles.size() << " handles left open";
        EXPECT_EQ(std::vector<std::string>(), scm.misuse);
    }

    // Looks attempted after the stop request: opens with SERVICE_QUERY_STATUS, failed ones too.
    static int PollsAfterStop() {
        int polls = -1;
        for (const fake::ScCall& call : scm.calls) {
            if (call.op == ScOp::Control && call.control == SERVICE_CONTROL_STOP) {
                polls = 0;
            } else if (polls >= 0 && call.op == ScOp::OpenService && call.access == SERVICE_QUERY_STATUS) {
                ++polls;
            }
        }
        return polls;
    }
};

TEST_F(ServiceControlTest, RemovingARunningServiceUsesTheRightAccessAndCodesAndClosesServiceFirst) {
    scm.state = SERVICE_RUNNING;
    scm.answers = {{SERVICE_RUNNING}, {SERVICE_RUNNING}, {SERVICE_STOPPED}};

    EXPECT_EQ(ERROR_SUCCESS, CServiceManager::RemoveService());

    const std::vector<std::string> expected = {
        "OpenSCManagerA 0xF003F -> M1",
        "OpenServiceA M1 QUORVEX$TARNIKE 0xF01FF -> S2",
        // RemoveService's look at the state
        "OpenSCManagerA 0xF003F -> M3",
        "OpenServiceA M3 QUORVEX$TARNIKE 0x4 -> S4",
        "QueryServiceStatus S4",
        "CloseServiceHandle S4",
        "CloseServiceHandle M3",
        // StopService: its look, the stop request, the first poll
        "OpenSCManagerA 0xF003F -> M5",
        "OpenServiceA M5 QUORVEX$TARNIKE 0x4 -> S6",
        "QueryServiceStatus S6",
        "CloseServiceHandle S6",
        "CloseServiceHandle M5",
        "OpenSCManagerA 0xF003F -> M7",
        "OpenServiceA M7 QUORVEX$TARNIKE 0xF01FF -> S8",
        "ControlService S8 1",
        "OpenSCManagerA 0xF003F -> M9",
        "OpenServiceA M9 QUORVEX$TARNIKE 0x4 -> S10",
        "QueryServiceStatus S10",
        "CloseServiceHandle S10",
        "CloseServiceHandle M9",
        "CloseServiceHandle S8",
        "CloseServiceHandle M7",
        "DeleteService S2",
        "CloseServiceHandle S2",
        "CloseServiceHandle M1",
    };
    EXPECT_EQ(expected, fake::ScTrace());
    EXPECT_TRUE(fake::kernel32.sleeps.empty()) << "a service that stops at the first poll costs no sleep";
}

struct RemoveCase {
    const char* name;
    std::function<void()> script;
    DWORD result;
    bool deleted;
    int stopRequests;
    int polls;  // -1: no stop was asked for
    std::size_t sleeps;
};

void PrintTo(const RemoveCase& c, std::ostream* os) {
    *os << c.name;
}

class RemoveServiceTest : public ServiceControlTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemoveServiceTest, Outcome) {
    const RemoveCase& c = GetParam();
    c.script();

    EXPECT_EQ(c.result, CServiceManager::RemoveService());
    EXPECT_EQ(c.deleted, scm.deleted);
    EXPECT_EQ(c.stopRequests, fake::CountControls(SERVICE_CONTROL_STOP));
    EXPECT_EQ(c.polls, PollsAfterStop());
    EXPECT_EQ(std::vector<DWORD>(c.sleeps, 1000), fake::kernel32.sleeps);
}

void Running() {
    scm.state = SERVICE_RUNNING;
}

// `count` looks that each find the service in `state`.
std::deque<fake::ScAnswer> Looks(DWORD state, int count) {
    return std::deque<fake::ScAnswer>(static_cast<std::size_t>(count), fake::ScAnswer{state});
}

std::deque<fake::ScAnswer> operator+(std::deque<fake::ScAnswer> first,
                                     const std::deque<fake::ScAnswer>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

// Successful fake calls clear the last error, so the rows marked "known code" would come back as 0 (or as
// the code of the last failed poll) if the result were read from the thread instead of being passed on.
INSTANTIATE_TEST_SUITE_P(
    Cases, RemoveServiceTest,
    ::testing::Values(
        RemoveCase{"AlreadyStopped", [] {}, ERROR_SUCCESS, true, 0, -1, 0},
        // It stopped between the look and the request, which the manager refuses with 1062.
        RemoveCase{"StoppedJustBeforeTheStopRequest",
                   [] {
                       Running();
                       scm.answers = {{SERVICE_RUNNING}, {SERVICE_RUNNING}, {SERVICE_STOPPED}};
                       scm.stopError = ERROR_SERVICE_NOT_ACTIVE;
                       scm.stopFailState = SERVICE_STOPPED;
                   },
                   ERROR_SUCCESS, true, 1, 1, 0},
        RemoveCase{"StopsAtTheThirdPoll",
                   [] {
                       Running();
                       scm.answers = {{SERVICE_RUNNING},
                                      {SERVICE_RUNNING},
                                      {SERVICE_STOP_PENDING},
                                      {SERVICE_STOP_PENDING},
                                      {SERVICE_STOPPED}};
                   },
                   ERROR_SUCCESS, true, 1, 3, 2},
        // known code
        RemoveCase{"NeverStops", Running, WAIT_TIMEOUT, false, 1, 29, 29},
        // known code; every poll finds no service (1060)
        RemoveCase{"VanishesWhilePolled",
                   [] {
                       Running();
                       scm.vanishesOnStop = true;
                   },
                   WAIT_TIMEOUT, false, 1, 29, 29},
        // known code; the one look after the refusal finds it still running
        RemoveCase{"StopRefused",
                   [] {
                       Running();
                       scm.stopError = ERROR_DEPENDENT_SERVICES_RUNNING;
                   },
                   ERROR_DEPENDENT_SERVICES_RUNNING, false, 1, 1, 0},
        // known code; the record that the refusal fills says running
        RemoveCase{"StopNotAccepted",
                   [] {
                       Running();
                       scm.stopError = ERROR_INVALID_SERVICE_CONTROL;
                       scm.stopFailState = SERVICE_RUNNING;
                   },
                   ERROR_INVALID_SERVICE_CONTROL, false, 1, 1, 0},
        // Someone asked it to stop a moment earlier: the manager refuses the request (1061), and each look
        // says it is stopping.
        RemoveCase{"AlreadyStopping",
                   [] { scm.answers = Looks(SERVICE_STOP_PENDING, 3) + Looks(SERVICE_STOPPED, 1); },
                   ERROR_SUCCESS, true, 1, 2, 1},
        // The look after the refused request fails: the record the refusal filled says stopping.
        RemoveCase{"RecordOfTheRefusalCountsWhenTheLookFails",
                   [] {
                       Running();
                       scm.answers = {
                           {SERVICE_RUNNING}, {SERVICE_RUNNING}, {0, ERROR_ACCESS_DENIED}, {SERVICE_STOPPED}};
                       scm.stopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
                       scm.stopFailState = SERVICE_STOP_PENDING;
                   },
                   ERROR_SUCCESS, true, 1, 2, 1},
        // It stopped inside its handler, and the request failed all the same.
        RemoveCase{"StopFailsButTheServiceHasStopped",
                   [] {
                       Running();
                       scm.answers = {{SERVICE_RUNNING}, {SERVICE_RUNNING}, {SERVICE_STOPPED}};
                       scm.stopError = ERROR_BROKEN_PIPE;
                       scm.stopFailState = SERVICE_STOPPED;  // not filled for this error, as on Windows
                   },
                   ERROR_SUCCESS, true, 1, 1, 0},
        RemoveCase{"StopFailsWhileStoppingThenStopsAtTheThirdPoll",
                   [] {
                       Running();
                       scm.answers = {{SERVICE_RUNNING},
                                      {SERVICE_RUNNING},
                                      {SERVICE_STOP_PENDING},
                                      {SERVICE_STOP_PENDING},
                                      {SERVICE_STOPPED}};
                       scm.stopError = ERROR_BROKEN_PIPE;
                   },
                   ERROR_SUCCESS, true, 1, 3, 2},
        // The handler answered after the manager's time-out; the look after it is the first poll.
        RemoveCase{"StopTimesOutButALookSaysStopping",
                   [] {
                       Running();
                       scm.answers = {
                           {SERVICE_RUNNING}, {SERVICE_RUNNING}, {SERVICE_STOP_PENDING}, {SERVICE_STOPPED}};
                       scm.stopError = ERROR_SERVICE_REQUEST_TIMEOUT;
                   },
                   ERROR_SUCCESS, true, 1, 2, 1},
        // Its handler does the clean-up: the request waits out the 30 s time-out while the service still
        // says running, and it stops 20 s later, which is within the wait since the request's time is not.
        RemoveCase{"StopTimesOutInABusyHandlerThatStopsLater",
                   [] {
                       scm.handlerBusy = true;
                       scm.answers = Looks(SERVICE_RUNNING, 2 + 21) + Looks(SERVICE_STOPPED, 1);
                   },
                   ERROR_SUCCESS, true, 1, 22, 21},
        // known code
        RemoveCase{"StopTimesOutInABusyHandlerThatNeverStops",
                   [] {
                       Running();
                       scm.handlerBusy = true;
                   },
                   WAIT_TIMEOUT, false, 1, 29, 29},
        // known code: the request is refused without a record, and the look after it fails: the state seen
        // before the request is no answer to it
        RemoveCase{
            "StopRefusedAndTheLookAfterItFails",
            [] {
                scm.answers = {{SERVICE_STOP_PENDING}, {SERVICE_STOP_PENDING}, {0, ERROR_ACCESS_DENIED}};
                scm.stopError = ERROR_ACCESS_DENIED;
            },
            ERROR_ACCESS_DENIED, false, 1, 1, 0},
        // known code: it had been stopping, but when the refused request leaves the record alone, the look
        // after it finds it running again
        RemoveCase{"StopRefusedAfterItHadBeenStopping",
                   [] {
                       scm.answers = {{SERVICE_STOP_PENDING}, {SERVICE_STOP_PENDING}, {SERVICE_RUNNING}};
                       scm.stopError = ERROR_ACCESS_DENIED;
                   },
                   ERROR_ACCESS_DENIED, false, 1, 1, 0},
        // Starting, as at boot: no stop request until it runs, then stopped within the same wait.
        RemoveCase{"StartingThenRunningThenStopped",
                   [] {
                       scm.answers = Looks(SERVICE_START_PENDING, 3) + Looks(SERVICE_RUNNING, 1) +
                                     Looks(SERVICE_STOP_PENDING, 1) + Looks(SERVICE_STOPPED, 1);
                   },
                   ERROR_SUCCESS, true, 1, 2, 3},
        RemoveCase{"StartingThenStoppedByItself",
                   [] { scm.answers = Looks(SERVICE_START_PENDING, 2) + Looks(SERVICE_STOPPED, 1); },
                   ERROR_SUCCESS, true, 0, -1, 1},
        // known code: still starting when the wait is over, and never asked to stop
        RemoveCase{"StartingLongerThanTheWait", [] { scm.state = SERVICE_START_PENDING; }, WAIT_TIMEOUT,
                   false, 0, -1, 29},
        RemoveCase{"LookFails",
                   [] {
                       scm.answers = {{0, ERROR_ACCESS_DENIED}};
                   },
                   ERROR_ACCESS_DENIED, false, 0, -1, 0},
        // known code: the look gets no manager, and the failed open leaves the last error at 0
        RemoveCase{"LookGetsNoManager",
                   [] {
                       scm.managerOpensLeft = 1;
                       scm.managerOpenError = ERROR_SUCCESS;
                   },
                   ERROR_INVALID_HANDLE, false, 0, -1, 0},
        // known code: the same inside StopService's own look
        RemoveCase{"StopServiceGetsNoManager",
                   [] {
                       Running();
                       scm.managerOpensLeft = 2;
                       scm.managerOpenError = ERROR_SUCCESS;
                   },
                   ERROR_INVALID_HANDLE, false, 0, -1, 0},
        RemoveCase{"DeleteRefused", [] { scm.deleteError = ERROR_ACCESS_DENIED; }, ERROR_ACCESS_DENIED, false,
                   0, -1, 0},
        RemoveCase{"NoManager", [] { scm.managerOpensLeft = 0; }, ERROR_INVALID_HANDLE, false, 0, -1, 0},
        RemoveCase{"NoSuchService", [] { scm.installed = false; }, ERROR_SUCCESS, false, 0, -1, 0},
        RemoveCase{"OpenServiceRefused", [] { scm.openServiceError = ERROR_ACCESS_DENIED; },
                   ERROR_ACCESS_DENIED, false, 0, -1, 0}),
    [](const ::testing::TestParamInfo<RemoveCase>& info) { return std::string(info.param.name); });

TEST_F(ServiceControlTest, AFailedCallsErrorSurvivesTheClosesAfterIt) {
    scm.deleteError = ERROR_ACCESS_DENIED;

    EXPECT_EQ(ERROR_ACCESS_DENIED, CServiceManager::RemoveService());
    // Two closes that succeed, and so clear the error in the fake, come after the refused delete.
    EXPECT_EQ(fake::ScOp::Close, scm.calls.back().op);
    EXPECT_EQ(ERROR_ACCESS_DENIED, platform::GetLastError());
}

TEST_F(ServiceControlTest, StopServiceGivesUpAfter29Polls) {
    Running();
    EXPECT_EQ(WAIT_TIMEOUT, CServiceManager::StopService());
    EXPECT_EQ(1u + 29u, scm.lookTicks.size());
    EXPECT_EQ(29u, fake::kernel32.sleeps.size());
    EXPECT_EQ(0, fake::CountControls(SERVICE_CONTROL_INTERROGATE)) << "a control that waits on the service";
}

TEST_F(ServiceControlTest, StopPassesOnTheLooksOwnCode) {
    scm.managerOpensLeft = 0;
    scm.managerOpenError = ERROR_SUCCESS;
    EXPECT_EQ(ERROR_INVALID_HANDLE, CServiceManager::StopService());

    fake::ResetServiceControl();
    scm.answers = {{0, ERROR_ACCESS_DENIED}};
    EXPECT_EQ(ERROR_ACCESS_DENIED, CServiceManager::StopService());
    EXPECT_EQ(0, fake::CountControls(SERVICE_CONTROL_STOP));
}

// However long each look takes, none begins once the 29 s are over, and the wait ends with the last one.
TEST_F(ServiceControlTest, SlowLooksSpendTheWaitByTheClock) {
    for (ULONGLONG lookMs : {0ull, 1500ull, 10000ull, 29000ull, 40000ull}) {
        SCOPED_TRACE(lookMs);
        fake::ResetKernel32();
        fake::ResetServiceControl();
        Running();
        scm.lookMs = lookMs;
        const ULONGLONG began = fake::kernel32.tickCount;

        EXPECT_EQ(WAIT_TIMEOUT, CServiceManager::StopService());

        ASSERT_FALSE(scm.lookTicks.empty());
        EXPECT_LT(scm.lookTicks.back(), began + kStopWaitMs);
        EXPECT_LE(fake::kernel32.tickCount, began + kStopWaitMs + lookMs);
        EXPECT_EQ(1, fake::CountControls(SERVICE_CONTROL_STOP));
        EXPECT_EQ(0, std::count(fake::kernel32.sleeps.begin(), fake::kernel32.sleeps.end(), 0u))
            << "a sleep with no time left";
    }
}

// The whole removal of a service whose handler never lets go: the wait's 29 s, the stop request's control
// time-out, and nothing else.
TEST_F(ServiceControlTest, RemovalOfAServiceBusyInItsHandlerIsBoundedByTheClock) {
    Running();
    scm.handlerBusy = true;
    const ULONGLONG began = fake::kernel32.tickCount;

    EXPECT_EQ(WAIT_TIMEOUT, CServiceManager::RemoveService());
    EXPECT_EQ(began + kStopWaitMs + scm.controlTimeoutMs, fake::kernel32.tickCount);
}

class ServiceSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::ResetKernel32();
        CServiceManager::SettingsInitialised = 0;
    }
};

TEST_F(ServiceSettingsTest, FillComesFromTheProgramPath) {
    struct Case {
        const char* path;
        const char* name;
        const char* directory;
    };
    const std::string longDirectory = "C:\\" + std::string(MAX_PATH - 1 - 3 - 1 - 18, 'd');
    const std::string longPath = longDirectory + "\\qrvxSuninstall.exe";
    const Case cases[] = {
        {"C:\\Tools\\qrvxSuninstall.exe", "qrvxSuninstall", "C:\\Tools"},
        {"C:\\Tools\\a.b.exe", "a.b", "C:\\Tools"},
        {"C:\\Tools\\noext", "noext", "C:\\Tools"},
        {"C:\\v1.2\\prog", "prog", "C:\\v1.2"},  // a dot in the directory is no extension
        {"qrvxSuninstall.exe", "qrvxSuninstall", ""},
        {longPath.c_str(), "qrvxSuninstall", longDirectory.c_str()},  // the longest path there is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fake::kernel32.modulePath = c.path;
        CopyText(settings().description, "left over");
        CServiceManager::InitSettings();
        EXPECT_STREQ(c.name, settings().serviceName);
        EXPECT_STREQ(c.name, settings().displayName);
        EXPECT_STREQ(c.path, settings().modulePath);
        EXPECT_STREQ(c.directory, settings().moduleDirectory);
        EXPECT_STREQ("", settings().description);
        EXPECT_EQ(0xF01FFu, settings().desiredAccess);
        EXPECT_EQ(0x10u, settings().serviceType);
        EXPECT_EQ(2u, settings().startType);
        EXPECT_EQ(1u, settings().errorControl);
    }
}

TEST_F(ServiceSettingsTest, ASecondManagerKeepsTheNamesSetAfterTheFirst) {
    CServiceManager first;
    CopyText(settings().serviceName, "QUORVEX$TARNIKE");
    CopyText(settings().displayName, "Quorvex Service");

    CServiceManager second;

    EXPECT_STREQ("QUORVEX$TARNIKE", settings().serviceName);
    EXPECT_STREQ("Quorvex Service", settings().displayName);
    EXPECT_EQ(1, fake::kernel32.moduleFileNameCalls);
}

TEST(ServiceIdentityTest, DescriptionIsTheCodePage949Text) {
    const unsigned char expected[] = {0x51, 0x75, 0x6f, 0x72, 0x76, 0x65, 0x78, 0x20, 0xb0,
                                      0xfc, 0xb7, 0xc3, 0x20, 0xbc, 0xad, 0xba, 0xf1, 0xbd,
                                      0xba, 0xc0, 0xd4, 0xb4, 0xcf, 0xb4, 0xd9, 0x2e};
    ASSERT_EQ(sizeof(expected) + 1, sizeof(ServiceIdentity::kDescription));
    EXPECT_EQ(0, std::memcmp(expected, ServiceIdentity::kDescription, sizeof(expected)));
}

}  // namespace
