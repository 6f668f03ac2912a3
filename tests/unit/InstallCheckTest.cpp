#include "check/InstallCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "check/CheckRun.h"
#include "check/KeptReport.h"
#include "check/Verdict.h"
#include "fakes/FakeIpHelper.h"
#include "fakes/FakeKernel32.h"
#include "fakes/FakeRegistry.h"
#include "fakes/FakeServiceControl.h"
#include "fakes/FakeWinInet.h"

namespace {

using fake::scm;

// What deployment tools read: no constant of the program's stands in for these.
constexpr int kGone = 0, kGoing = 3010, kInstalled = 1603;
// The settle time: 5 s, a look every 100 ms.
constexpr std::size_t kSettle = 50;

struct CheckCase {
    const char* name;
    std::function<void()> script;
    int status;
    std::size_t sleeps;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class InstallCheckTest : public ::testing::TestWithParam<CheckCase> {
  protected:
    void SetUp() override {
        fake::ResetKernel32();
        fake::ResetServiceControl();
    }
    void TearDown() override {
        EXPECT_TRUE(scm.openHandles.empty()) << scm.openHandles.size() << " handles left open";
        EXPECT_EQ(std::vector<std::string>(), scm.misuse);
    }
};

TEST_P(InstallCheckTest, ExitStatus) {
    const CheckCase& c = GetParam();
    c.script();

    EXPECT_EQ(c.status, CheckInstalled());
    EXPECT_EQ(std::vector<DWORD>(c.sleeps, 100), fake::kernel32.sleeps);
    for (const fake::ScCall& call : scm.calls) {
        if (call.op == fake::ScOp::OpenManager) {
            EXPECT_EQ(SC_MANAGER_CONNECT, call.access);
        } else if (call.op == fake::ScOp::OpenService) {
            EXPECT_EQ(SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG, call.access);
        }
        EXPECT_NE(fake::ScOp::Control, call.op) << "the check asked something of the service itself";
    }
}

void MarkedForDeletion() {
    scm.state = SERVICE_STOPPED;
    scm.configError = ERROR_SERVICE_MARKED_FOR_DELETE;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallCheckTest,
    ::testing::Values(
        CheckCase{"Gone", [] { scm.installed = false; }, kGone, 0},
        // Still held open elsewhere when the settle time is over: it goes at the next restart.
        CheckCase{"MarkedForDeletionAndStopped", MarkedForDeletion, kGoing, kSettle},
        CheckCase{"MarkedForDeletionThenGone",
                  [] {
                      MarkedForDeletion();
                      scm.opensUntilGone = 3;
                  },
                  kGone, 3},
        CheckCase{"OpenRefusedAsMarkedForDeletion",
                  [] { scm.openServiceError = ERROR_SERVICE_MARKED_FOR_DELETE; }, kGoing, kSettle},
        CheckCase{"MarkedForDeletionButStillStopping",
                  [] {
                      MarkedForDeletion();
                      scm.state = SERVICE_STOP_PENDING;
                  },
                  kInstalled, 0},
        CheckCase{"Running", [] { scm.state = SERVICE_RUNNING; }, kInstalled, 0},
        CheckCase{"StoppedAndNotMarked", [] {}, kInstalled, 0},
        CheckCase{"QueryFails",
                  [] {
                      scm.answers = {{0, ERROR_ACCESS_DENIED}};
                  },
                  kInstalled, 0},
        CheckCase{"MarkCannotBeTold",
                  [] {
                      MarkedForDeletion();
                      scm.configError = ERROR_ACCESS_DENIED;
                  },
                  kInstalled, 0},
        CheckCase{"OpenRefused", [] { scm.openServiceError = ERROR_ACCESS_DENIED; }, kInstalled, 0},
        CheckCase{"NoManager", [] { scm.managerOpensLeft = 0; }, kInstalled, 0}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

}  // namespace

// The launcher's exit status for the whole outcome, as deployment tools read it.
TEST(VerdictTest, ExitStatusForEveryOutcome) {
    constexpr int kRetry = 1618, kBadPackage = 1610;
    struct Case {
        int installStatus;
        KeptReport report;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {kGone, KeptReport::kTold, kGone,
         "Done: the service is gone, and the management server was told, or "
         "knows none of this machine's network adapters. It was told."},
        {kGone, KeptReport::kNotRegistered, kGone, ". It knows none of them."},
        {kGoing, KeptReport::kTold, kGoing, "Done: the service goes at the next restart, and"},
        {kGoing, KeptReport::kNotRegistered, kGoing, ". It knows none of them."},
        {kGone, KeptReport::kNotTold, kRetry,
         "Not done: the management server was not told this time. Run this "
         "again to tell it. The service is gone."},
        {kGoing, KeptReport::kNotTold, kRetry, "tell it. The service goes at the next restart."},
        {kGone, KeptReport::kNoServer, kBadPackage,
         "names no management server. Mend the package, then run this "
         "again. The service is gone."},
        {kGoing, KeptReport::kNoServer, kBadPackage, "again. The service goes at the next restart."},
        // No record, or one that cannot be read or may be another run's, is never success.
        {kGone, KeptReport::kUnknown, kInstalled,
         "not known. The service is gone, but this run left no record"},
        {kGoing, KeptReport::kUnknown, kInstalled, "not known. The service goes at the next restart, but"},
        // Still installed, whatever the report did.
        {kInstalled, KeptReport::kTold, kInstalled,
         "Not done: the service QUORVEX$TARNIKE is still installed, or "
         "what came of the run is not known. It is still installed: the "
         "Application log (source qrvxSuninstall) says why."},
        {kInstalled, KeptReport::kNotRegistered, kInstalled, "It is still installed"},
        {kInstalled, KeptReport::kNotTold, kInstalled, "It is still installed"},
        {kInstalled, KeptReport::kNoServer, kInstalled, "It is still installed"},
        {kInstalled, KeptReport::kUnknown, kInstalled, "It is still installed"},
        {12345, KeptReport::kTold, kInstalled, "It is still installed"},  // a status the check never gives
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.installStatus) + " " + std::to_string(static_cast<int>(c.report)));
        const Verdict verdict = Decide(c.installStatus, c.report);
        const std::string line = std::string(verdict.meaning) + " " + verdict.detail;
        EXPECT_EQ(c.status, verdict.status);
        EXPECT_NE(std::string::npos, line.find(c.says)) << line;
        EXPECT_EQ(std::string::npos, line.find('\n')) << "one line";
        // One meaning for each status, whatever the case.
        const Verdict first = Decide(c.installStatus == kInstalled ? kGone : c.installStatus, c.report);
        if (first.status == verdict.status) {
            EXPECT_STREQ(first.meaning, verdict.meaning);
        }
    }
}

class KeptReportTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::ResetRegistry(); }
    void TearDown() override { EXPECT_EQ(0, fake::registry.openKeys); }

    static void Keep(DWORD type, const std::string& bytes) {
        fake::registry.keys[kKept]["Report"] = {type, bytes};
    }
    static constexpr const char* kKept = "SOFTWARE\\qrvxSuninstall";
};

TEST_F(KeptReportTest, OnlyAWordAsTheRunWritesItIsTaken) {
    struct Case {
        const char* name;
        std::function<void()> keep;
        KeptReport report;
    };
    const Case cases[] = {
        {"told", [] { Keep(REG_SZ, std::string("told", 5)); }, KeptReport::kTold},
        {"not registered", [] { Keep(REG_SZ, std::string("not registered", 15)); },
         KeptReport::kNotRegistered},
        {"not told", [] { Keep(REG_SZ, std::string("not told", 9)); }, KeptReport::kNotTold},
        {"no server", [] { Keep(REG_SZ, std::string("no server", 10)); }, KeptReport::kNoServer},
        {"without its terminator", [] { Keep(REG_SZ, "told"); }, KeptReport::kTold},
        {"no record", [] {}, KeptReport::kUnknown},
        {"no word",
         [] {
             fake::registry.keys[kKept]["Outcome"] = {REG_DWORD, std::string(4, '\0')};
         },
         KeptReport::kUnknown},
        {"another word", [] { Keep(REG_SZ, std::string("told!", 6)); }, KeptReport::kUnknown},
        {"a longer one", [] { Keep(REG_SZ, std::string("told, and more besides", 23)); },
         KeptReport::kUnknown},
        {"a word after it", [] { Keep(REG_SZ, std::string("told\0x", 6)); }, KeptReport::kTold},
        {"another type", [] { Keep(REG_EXPAND_SZ, std::string("told", 5)); }, KeptReport::kUnknown},
        {"a number", [] { Keep(REG_DWORD, std::string(4, '\0')); }, KeptReport::kUnknown},
        {"empty", [] { Keep(REG_SZ, std::string(1, '\0')); }, KeptReport::kUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetRegistry();
        c.keep();
        EXPECT_EQ(c.report, ReadKeptReport());
        for (const fake::RegOpen& open : fake::registry.opens) {
            EXPECT_EQ(KEY_QUERY_VALUE | KEY_WOW64_64KEY, open.access);
            EXPECT_FALSE(open.create);
        }
    }
}

// What an earlier run kept is never taken for this run's: the launcher forgets it first, and where that
// fails it takes nothing kept.
TEST_F(KeptReportTest, RecordOfAnEarlierRunIsNeverThisRuns) {
    Keep(REG_SZ, std::string("told", 5));
    EXPECT_TRUE(ForgetKeptOutcome());
    EXPECT_EQ(std::vector<std::string>{"SOFTWARE\\qrvxSuninstall @0x100"}, fake::registry.deletedKeys);
    // This run then writes nothing (it could not, or it never ran to its end).
    EXPECT_EQ(KeptReport::kUnknown, ReadKeptReport());
    EXPECT_EQ(kInstalled, Decide(kGone, ReadKeptReport()).status);

    EXPECT_TRUE(ForgetKeptOutcome()) << "nothing kept is nothing to forget";

    Keep(REG_SZ, std::string("told", 5));
    fake::registry.deleteKeyError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(ForgetKeptOutcome());
    EXPECT_EQ(KeptReport::kTold, ReadKeptReport()) << "still there, so the launcher takes none";
}

// Each of the check's modes, as the launcher calls it and reads its exit status and its one line.
TEST(CheckRunTest, EachModeAsTheLauncherCallsIt) {
    struct Case {
        std::vector<std::string> arguments;
        LONG deleteError;
        int status;
        const char* prints;
        bool kept;  // the told record is still there afterwards
    };
    const Case cases[] = {
        {{},
         ERROR_SUCCESS,
         kGone,
         "Done: the service is gone, and the management server was told, or knows none of this machine's "
         "network "
         "adapters. It was told.\n",
         true},
        {{"stale"},
         ERROR_SUCCESS,
         kInstalled,
         "The service is gone, but this run left no record of what the management server was told.\n",
         true},
        {{"forget"}, ERROR_SUCCESS, 0, "", false},
        {{"forget"}, ERROR_ACCESS_DENIED, 1, "", true},
        {{"done"}, ERROR_SUCCESS, kInstalled, "", true},  // no such mode: never success
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
        fake::ResetKernel32();
        fake::ResetServiceControl();
        fake::ResetRegistry();
        fake::ResetWinInet();
        fake::ResetIpHelper();
        scm.installed = false;
        fake::registry.keys["SOFTWARE\\qrvxSuninstall"]["Report"] = {REG_SZ, std::string("told", 5)};
        fake::registry.deleteKeyError = c.deleteError;
        std::vector<char*> argv = {const_cast<char*>("qrvxScheck")};
        for (const std::string& argument : c.arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }

        ::testing::internal::CaptureStdout();
        const int status = RunCheck(static_cast<int>(argv.size()), argv.data());
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.status, status);
        // The line, or nothing at all where there is none to say.
        const std::string prints = c.prints;
        EXPECT_EQ(prints, printed.substr(
                              prints.empty() ? 0 : printed.size() - std::min(printed.size(), prints.size())))
            << printed;
        EXPECT_EQ(c.kept, fake::registry.keys.count("SOFTWARE\\qrvxSuninstall") != 0);
        // The launcher's modes need neither WinINet nor IP Helper, and load nothing: only the dry run does.
        EXPECT_TRUE(fake::winInet.opens.empty() && fake::ipHelper.sizesPassed.empty());
        EXPECT_TRUE(fake::kernel32.dllDirectories.empty());
    }
}
