#include "adapter/ServiceUtility.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "fakes/FakeIpHelper.h"

namespace {

using fake::ipHelper;

const fake::Mac kZero = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const fake::Mac k5E = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const fake::Mac k5F = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};
const fake::Mac kHex = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0xFF};

std::string Narrow(const WCHAR* wide) {
    std::string text;
    for (int i = 0; i < kAdapterAddressUnits && wide[i] != 0; ++i) {
        text.push_back(static_cast<char>(wide[i]));
    }
    return text;
}

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::ResetIpHelper(); }
};

TEST_F(AdapterTest, CountAndAddressByIndex) {
    struct Case {
        std::vector<fake::Mac> adapters;
        int index;
        const char* address;
    };
    const Case cases[] = {
        {{k5E, k5F}, 0, "00-1A-2B-3C-4D-5E"},
        {{k5E, k5F}, 1, "00-1A-2B-3C-4D-5F"},
        {{k5E, k5F}, 7, "00-1A-2B-3C-4D-5F"},
        {{kZero, k5E, k5F}, 0, "00-1A-2B-3C-4D-5F"},  // all-zero passed over: the last one
        {{kZero}, 0, "00-00-00-00-00-00"},
        {{kHex}, 0, "0A-0B-0C-0D-0E-FF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        fake::ResetIpHelper();
        ipHelper.adapters = c.adapters;
        WCHAR wide[kAdapterAddressUnits] = {};
        EXPECT_EQ(static_cast<int>(c.adapters.size()), CServiceUtility::GetAdapterCount());
        CServiceUtility::GetAdapterAddress(wide, c.index);
        EXPECT_EQ(c.address, Narrow(wide));
        EXPECT_EQ(std::vector<ULONG>(2, 10368), ipHelper.sizesPassed);
    }
}

TEST_F(AdapterTest, UnreadableListCountsAsEmptyAndLeavesTheOutputAlone) {
    struct Case {
        const char* name;
        std::size_t adapters;
        std::deque<ULONG> results;
    };
    const Case cases[] = {
        {"the call fails", 2, {ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED}},
        {"no adapter", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetIpHelper();
        ipHelper.adapters.assign(c.adapters, k5E);
        ipHelper.results = c.results;
        WCHAR wide[kAdapterAddressUnits];
        std::fill(std::begin(wide), std::end(wide), u'*');

        EXPECT_EQ(0, CServiceUtility::GetAdapterCount());
        CServiceUtility::GetAdapterAddress(wide, 0);

        EXPECT_EQ(std::u16string(kAdapterAddressUnits, u'*'), std::u16string(wide, kAdapterAddressUnits));
        EXPECT_EQ(std::vector<ULONG>(2, 10368), ipHelper.sizesPassed);
    }
}

// Twenty adapters fit neither layout's fixed area; the second one is all-zero.
std::vector<fake::Mac> Twenty() {
    std::vector<fake::Mac> adapters;
    for (unsigned char n = 0; n < 20; ++n) {
        adapters.push_back({0x00, 0x1A, 0x2B, 0x3C, 0x4D, n});
    }
    adapters[1] = kZero;
    return adapters;
}

TEST_F(AdapterTest, ListLongerThanTheFixedAreaIsReadWholeInOrder) {
    ipHelper.adapters = Twenty();
    ipHelper.extraNeeded = 1;  // not a whole number of records: the buffer is rounded up to one

    EXPECT_EQ(20, CServiceUtility::GetAdapterCount());
    EXPECT_EQ((std::vector<ULONG>{10368, 21 * sizeof(IP_ADAPTER_INFO)}), ipHelper.sizesPassed);
    for (int index = 0; index <= 20; ++index) {
        SCOPED_TRACE(index);
        WCHAR wide[kAdapterAddressUnits] = {};
        CServiceUtility::GetAdapterAddress(wide, index);
        // The all-zero one, and any index past the end, give the last adapter.
        const int expected = index == 1 || index >= 20 ? 19 : index;
        char text[kAdapterAddressUnits];
        std::snprintf(text, sizeof(text), "00-1A-2B-3C-4D-%02X", expected);
        EXPECT_EQ(text, Narrow(wide));
    }
}

TEST_F(AdapterTest, LongListReadAgainWhileItGrowsThenGivenUp) {
    const ULONG record = sizeof(IP_ADAPTER_INFO);
    struct Case {
        const char* name;
        std::deque<int> growth;
        std::deque<ULONG> results;
        int count;
        std::vector<ULONG> sizes;
    };
    const Case cases[] = {
        {"grows between the two reads", {1}, {}, 21, {10368, 20 * record, 21 * record}},
        {"grows at every read", {1, 1, 1, 1}, {}, 0, {10368, 20 * record, 21 * record, 22 * record}},
        {"the second read fails", {}, {ERROR_SUCCESS, ERROR_NOT_SUPPORTED}, 0, {10368, 20 * record}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ResetIpHelper();
        ipHelper.adapters = Twenty();
        ipHelper.growth = c.growth;
        ipHelper.results = c.results;
        EXPECT_EQ(c.count, CServiceUtility::GetAdapterCount());
        EXPECT_EQ(c.sizes, ipHelper.sizesPassed);
    }
}

}  // namespace
