#include "common/FixedText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A field of 8 with bytes after it that no operation may touch.
struct Guarded {
    char field[8];
    char guard[4];
};

TEST(FixedTextTest, CopyAndAppendStayWithinTheField) {
    struct Case {
        const char* before;  // null: a copy
        const char* source;
        const char* after;
    };
    const Case cases[] = {
        {nullptr, "123456", "123456"},     // one under the capacity
        {nullptr, "1234567", "1234567"},   // exactly: the terminator still fits
        {nullptr, "12345678", "1234567"},  // one over: cut
        {"abc", "123", "abc123"},          // the same three for an append
        {"abc", "1234", "abc1234"},        //   exactly
        {"abc", "12345", "abc1234"},       //   one over
        {"1234567", "x", "1234567"},       // a full field takes nothing more
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.before != nullptr ? c.before : "(copy)") + " + " + c.source);
        Guarded text;
        std::memset(&text, '#', sizeof(text));
        if (c.before != nullptr) {
            CopyText(text.field, c.before);
            AppendText(text.field, c.source);
        } else {
            CopyText(text.field, c.source);
        }
        EXPECT_STREQ(c.after, text.field);
        EXPECT_EQ(std::string(4, '#'), std::string(text.guard, 4));
    }
}

}  // namespace
