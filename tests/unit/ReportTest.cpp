#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapter/ServiceUtility.h"
#include "app/ReportFlow.h"
#include "app/RunEnd.h"
#include "common/FixedText.h"
#include "config/ReportConfig.h"
#include "fakes/FakeIpHelper.h"
#include "fakes/FakeKernel32.h"
#include "fakes/FakeWinInet.h"
#include "outcome/RunRecord.h"
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

    // The run keeps what the report made to the end of the process; a test does not.
    static void EndReport() {
        delete g_pHttpRequest;
        delete g_pReportSettings;
        delete g_pConfigPaths;
        g_pConfigPaths = nullptr;
    }

    ReportSettings settings = {};
};

TEST(ConfigTest, FileIsLookedForInTheProgramsFolderLowerCased) {
    struct Case {
        const char* modulePath;
        const char* directory;
    };
    const Case cases[] = {
        {"C:\\Program Files\\Tools\\QRVXSUNINSTALL.EXE", "c:\\program files\\tools\\"},
        // Only "A" to "Z" change: not the bytes around them, nor either byte of a double-byte character.
        {"C:\\@AZ[`az{\\\x81\x41\xB0Z\\X.EXE", "c:\\@az[`az{\\\x81\x41\xB0Z\\"},
        {"QRVX.EXE", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.modulePath);
        fake::ResetKernel32();
        fake::kernel32.modulePath = c.modulePath;
        ConfigPaths paths;
        EXPECT_STREQ(c.directory, paths.moduleDirectory);
        EXPECT_STREQ("qrvxconfig.ini", paths.fileName);
        EXPECT_EQ(std::string(c.directory) + "qrvxconfig.ini", paths.configurationPath);
        EXPECT_EQ(std::vector<DWORD>{MAX_PATH}, fake::kernel32.moduleFileNameSizes);
    }
}

TEST(ConfigTest, HostAddressComesFromTheConfigurationSection) {
    struct Case {
        std::optional<std::string> value;
        const char* hostAddress;
    };
    const std::string longest = "10.0.0.5/" + std::string(kMaxHostAddressBytes - 9, 'p');
    const Case cases[] = {
        {std::nullopt, "0.0.0.0"},
        {"10.0.0.5/admin", "10.0.0.5/admin"},
        {"10.0.0.5/abcdefghijklmnopqrstuvwxyz0123", "10.0.0.5/abcdefghijklmnopqrstuvwxyz0123"},
        {longest, longest.c_str()},
        {longest + "p", ""},  // cut by the reader: refused whole
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.hostAddress).substr(0, 40));
        fake::ResetKernel32();
        fake::kernel32.profileValue = c.value;
        ConfigPaths paths;
        std::unique_ptr<ReportSettings> settings(LoadReportSettings(paths));

        EXPECT_STREQ(c.hostAddress, settings->hostAddress);
        EXPECT_STREQ("c:\\tools\\qrvxconfig.ini", settings->configurationPath);
        ASSERT_EQ(1u, fake::kernel32.profileReads.size());
        const fake::ProfileRead& read = fake::kernel32.profileReads[0];
        EXPECT_EQ("Configuration", read.section);
        EXPECT_EQ("HostAddress", read.key);
        EXPECT_EQ("0.0.0.0", read.defaultText);
        EXPECT_EQ(kMaxHostAddressBytes + 2, read.size);
        EXPECT_EQ("c:\\tools\\qrvxconfig.ini", read.file);
    }
}

TEST_F(ReportTest, AddressTooLongForTheFieldIsAskedNothing) {
    fake::ipHelper.adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
    fake::kernel32.profileValue = "127.0.0.1/" + std::string(kMaxHostAddressBytes, 'p');

    ReportUninstall();

    EXPECT_EQ(std::vector<std::string>{}, Bodies());
    EXPECT_TRUE(winInet.connects.empty());
    EndReport();
}

// The run ends by TerminateProcess exactly while an exchange's thread is still in WinINet.
TEST_F(ReportTest, RunEndsWithoutDetachingWinInetOnlyWhileAnExchangeIsLeftRunning) {
    fake::kernel32.threadsHang = true;
    CHttpRequest request("10.0.0.5");
    std::string reply;
    request.SendPost("Quorvex/connect_check.php", reply, "");

    EndRun(1618);
    EXPECT_EQ((std::vector<std::pair<HANDLE, UINT>>{{fake::kCurrentProcess, 1618}}),
              fake::kernel32.terminations);

    // Once it has come back, the process may end as any other.
    fake::kernel32.terminations.clear();
    ASSERT_EQ(1u, fake::kernel32.hanging.size());
    fake::kernel32.hanging[0].first(fake::kernel32.hanging[0].second);
    EndRun(0);
    EXPECT_TRUE(fake::kernel32.terminations.empty());
}

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

TEST_F(ReportTest, WholeReportAsksAboutAdaptersInOrderAndPostsForTheRegisteredOne) {
    fake::ipHelper.adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5D},
                               {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E},
                               {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F}};
    fake::kernel32.profileValue = "http://127.0.0.1";

    ReportUninstall();

    EXPECT_EQ(
        (std::vector<std::string>{
            "Quorvex/connect_check.php ", "Quorvex/register_check.php m=00-1A-2B-3C-4D-5D",
            "Quorvex/register_check.php m=00-1A-2B-3C-4D-5E",
            "Quorvex/message_post.php m=" + std::string(kAddress) + "&d=SERVICE PROGRAM UNINSTALLED !!"}),
        Bodies());
    EXPECT_EQ(g_pConfigPaths->configurationPath, std::string(g_pReportSettings->configurationPath));
    EXPECT_STREQ(kAddress, g_pReportSettings->reportedAdapterAddress);
    EXPECT_STREQ("127.0.0.1", g_pHttpRequest->m_szHost);
    // The file is opened for reading as the profile reader opens it, before it reads it, and closed.
    ASSERT_EQ(1u, fake::kernel32.fileOpens.size());
    const fake::FileOpen& open = fake::kernel32.fileOpens[0];
    EXPECT_EQ(g_pConfigPaths->configurationPath, open.file);
    EXPECT_EQ(GENERIC_READ, open.access);
    EXPECT_EQ(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, open.share);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), open.disposition);
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL), open.flags);
    EXPECT_FALSE(open.securityOrTemplate);
    EXPECT_EQ(0, fake::kernel32.filesOpen);
    // Every address crosses the code page whole, its terminator with it, and nothing else is asked.
    for (const auto* conversions : {&fake::kernel32.toWide, &fake::kernel32.toNarrow}) {
        EXPECT_FALSE(conversions->empty());
        for (const fake::Conversion& c : *conversions) {
            EXPECT_EQ(CP_ACP, c.codePage);
            EXPECT_EQ(0u, c.flags);
            EXPECT_EQ(18, c.inCount);
            EXPECT_EQ(18, c.outCount);
            EXPECT_FALSE(c.defaultsAsked);
        }
    }

    EndReport();
}

TEST_F(ReportTest, EachAdapterIsAskedAboutOnceAndNoMessageWithoutARegisteredOne) {
    struct Case {
        const char* name;
        std::vector<fake::Mac> adapters;
        std::vector<std::string> bodies;
        std::size_t listReads;
    };
    const Case cases[] = {
        {"no adapter", {}, {"Quorvex/connect_check.php "}, 1},
        {"none registered",
         {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5D}, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F}},
         {"Quorvex/connect_check.php ", "Quorvex/register_check.php m=00-1A-2B-3C-4D-5D",
          "Quorvex/register_check.php m=00-1A-2B-3C-4D-5F"},
         1 + 2 * 2 + 1},  // and once more after the sweep, to see that it asked about every adapter
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetWinInet();
        fake::ResetIpHelper();
        winInet.server = Answer;
        fake::ipHelper.adapters = c.adapters;
        fake::kernel32.profileValue = "127.0.0.1";

        ReportUninstall();

        EXPECT_EQ(c.bodies, Bodies());
        EXPECT_EQ(c.listReads, fake::ipHelper.sizesPassed.size());
        EndReport();
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

    EXPECT_EQ(4u, fake::ipHelper.sizesPassed.size());
    EXPECT_EQ(std::vector<std::string>{}, Bodies()) << "no check for an address that could not be read";
    EXPECT_TRUE(g_runRecord.adaptersChanged) << "an adapter never asked about";
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

    EndReport();
}

TEST_F(ReportTest, NoCheckForTheAddressLeftFromTheAdapterBefore) {
    fake::ipHelper.adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5D}, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F}};
    // The count, the first address and the next count read the list; then it is gone.
    fake::ipHelper.results = {ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_NO_DATA, ERROR_NO_DATA};
    CHttpRequest request("10.0.0.5");
    g_pHttpRequest = &request;
    WCHAR wide[kAdapterAddressUnits] = {};

    EXPECT_FALSE(FindRegisteredAdapter(wide));
    EXPECT_EQ(std::vector<std::string>{"Quorvex/register_check.php m=00-1A-2B-3C-4D-5D"}, Bodies());
}

}  // namespace
