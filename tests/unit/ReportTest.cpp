#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/ServiceUtility.h"
#include "app/ReportConfig.h"
#include "app/ReportFlow.h"
#include "common/FixedText.h"
#include "fakes/FakeIpHelper.h"
#include "fakes/FakeKernel32.h"
#include "fakes/FakeWinInet.h"
#include "transport/ReportProtocol.h"

namespace {

using fake::winInet;

const char kAddress[] = "00-1A-2B-3C-4D-5E";

// A server that says yes to each exchange, and knows only kAddress as registered.
fake::HttpReply Answer(const fake::RequestRecord& request) {
    if (request.path == "Quorvex/connect_check.php") {
        return fake::Body("CONNECTED");
    }
    if (request.path == "Quorvex/register_check.php") {
        return fake::Body(request.body == std::string("m=") + kAddress ? "REGISTERED" : "UNKNOWN");
    }
    return fake::Body("TRUE");
}

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::ResetKernel32();
        fake::ResetWinInet();
        fake::ResetIpHelper();
        winInet.server = Answer;
        CopyText(settings.reportedAdapterAddress, kAddress);
        g_pReportSettings = &settings;
    }
    void TearDown() override {
        g_pHttpRequest = nullptr;
        g_pReportSettings = nullptr;
    }

    static std::vector<std::string> Bodies() {
        std::vector<std::string> bodies;
        for (const fake::RequestRecord& request : winInet.requests) {
            bodies.push_back(request.path + " " + request.body);
        }
        return bodies;
    }

    ReportSettings settings = {};
};

TEST_F(ReportTest, ChecksAreYesOnlyWhenConnected) {
    for (bool connects : {true, false}) {
        SCOPED_TRACE(connects ? "connected" : "not connected");
        fake::ResetWinInet();
        winInet.server = Answer;
        winInet.connectFails = !connects;
        CHttpRequest request("10.0.0.5");
        g_pHttpRequest = &request;

        EXPECT_EQ(connects, ConnectCheck());
        EXPECT_EQ(connects, RegisterCheck(kAddress));
        EXPECT_EQ(connects, MessagePost());
        EXPECT_EQ(connects ? 3u : 0u, winInet.requests.size());
    }
}

TEST_F(ReportTest, AdapterListThatTurnsUnreadableEndsTheSearchQuietly) {
    fake::ipHelper.adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
    // The count reads one adapter; the address read and the fresh count then find no list.
    fake::ipHelper.results = {ERROR_SUCCESS, ERROR_NO_DATA, ERROR_NO_DATA};
    CHttpRequest request("10.0.0.5");
    g_pHttpRequest = &request;
    WCHAR wide[kAdapterAddressUnits] = {};  // as the report flow hands it over

    EXPECT_FALSE(FindRegisteredAdapter(wide));

    EXPECT_EQ(3u, fake::ipHelper.sizesPassed.size());
    EXPECT_EQ(std::vector<std::string>{}, Bodies()) << "no check for an address that could not be read";
    EXPECT_EQ(std::u16string(kAdapterAddressUnits, u'\0'), std::u16string(wide, kAdapterAddressUnits));
}

TEST_F(ReportTest, NoExchangeBeginsAfterTheReportsBoundAndTheOneUnderWayIsCutThere) {
    // Six adapters, none registered, and a server that takes 25 s of the clock for each registration check.
    for (unsigned char n = 0; n < 6; ++n) {
        fake::ipHelper.adapters.push_back(
            {0x00, 0x1A, 0x2B, 0x3C, 0x4D, static_cast<unsigned char>(0x60 + n)});
    }
    winInet.server = [](const fake::RequestRecord& request) {
        if (request.path == "Quorvex/register_check.php") {
            fake::kernel32.tickCount += 25000;
        }
        return Answer(request);
    };
    fake::kernel32.profileValue = "127.0.0.1";

    ReportUninstall();

    // The checks begin at 0, 25, 50, 75 and 100 s; each may take what is left of the 120 s, at most 80 s.
    // The fifth answers at 125 s, too late to count, and the sixth never begins.
    EXPECT_EQ((std::vector<std::string>{"Quorvex/connect_check.php ",
                                        "Quorvex/register_check.php m=00-1A-2B-3C-4D-60",
                                        "Quorvex/register_check.php m=00-1A-2B-3C-4D-61",
                                        "Quorvex/register_check.php m=00-1A-2B-3C-4D-62",
                                        "Quorvex/register_check.php m=00-1A-2B-3C-4D-63",
                                        "Quorvex/register_check.php m=00-1A-2B-3C-4D-64"}),
              Bodies());
    EXPECT_EQ((std::vector<DWORD>{80000, 80000, 80000, 70000, 45000, 20000}), fake::kernel32.waits);
    EXPECT_FALSE(g_pHttpRequest->m_bConnected);

    // The run keeps these to the end of the process; a test does not.
    delete g_pHttpRequest;
    delete g_pReportSettings;
    delete g_pConfigPaths;
    g_pConfigPaths = nullptr;
}

}  // namespace
