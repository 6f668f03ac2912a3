#include "adapter/ServiceUtility.h"

#include <gtest/gtest.h>

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
        {"too many to fit", kAdapterBufferBytes / sizeof(IP_ADAPTER_INFO) + 1, {}},
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

}  // namespace
