#include "transport/BomLength.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string text;
    for (int byte : bytes) {
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

TEST(BomLengthTest, SignaturesAndTheirNearMisses) {
    struct Case {
        std::string text;
        std::size_t length;
    };
    const Case cases[] = {
        {Bytes({0xFE, 0xFF}), 2},
        {Bytes({0xFE, 0xFF, 0x00, 0x41}), 2},
        {Bytes({0xEF, 0xBB, 0xBF}), 3},
        {Bytes({0xEF, 0xBB, 0xBF, 0x43, 0x4F}), 3},
        {Bytes({0xF7, 0x64, 0x4C}), 3},
        {Bytes({0x0E, 0xFE, 0xFF}), 3},
        {Bytes({0xFB, 0xEE, 0x28}), 3},
        {Bytes({0xFB, 0xEE, 0x28, 0x41}), 3},
        {Bytes({0xFB, 0xEE, 0x28, 0xFF}), 4},
        {Bytes({0xFF, 0xFE, 0x00, 0x00}), 4},
        {Bytes({0x2B, 0x2F, 0x76, 0x38}), 4},
        {Bytes({0x2B, 0x2F, 0x76, 0x39}), 4},
        {Bytes({0x2B, 0x2F, 0x76, 0x2B}), 4},
        {Bytes({0x2B, 0x2F, 0x76, 0x2F}), 4},
        {Bytes({0xDD, 0x73, 0x66, 0x73}), 4},
        {Bytes({0x84, 0x31, 0x95, 0x33}), 4},
        // Not signatures
        {Bytes({0x2B, 0x2F, 0x76, 0x41}), 0},
        {Bytes({0xFF, 0xFE, 0x41, 0x00}), 0},  // UTF-16 LE is left alone
        {Bytes({0xFF, 0xFE}), 0},
        {Bytes({0xFE}), 0},
        {"", 0},
        {Bytes({0x00}), 0},
        {Bytes({0x00, 0xFE, 0xFF}), 0},
        {Bytes({0x00, 0x00, 0xFE, 0xFF}), 0},  // UTF-32 BE starts with 00
        {"CONNECTED", 0},
        // Cut short
        {Bytes({0xEF, 0xBB}), 0},
        {Bytes({0xF7, 0x64}), 0},
        {Bytes({0x0E, 0xFE}), 0},
        {Bytes({0xFB, 0xEE}), 0},
        {Bytes({0xFF, 0xFE, 0x00}), 0},
        {Bytes({0x2B, 0x2F, 0x76}), 0},
        {Bytes({0xDD, 0x73, 0x66}), 0},
        {Bytes({0x84, 0x31, 0x95}), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.length, GetBomLength(c.text)) << ::testing::PrintToString(c.text);
    }
}

}  // namespace
