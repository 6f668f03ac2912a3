#include "check/InstallCheck.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/FakeKernel32.h"
#include "fakes/FakeServiceControl.h"

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
