#include "platform/bounded_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>

namespace kv::platform {
namespace {

TEST(BoundedText, CopyAndFormatCutToFit) {
    char out[4];
    EXPECT_EQ(copy_bounded(out, "abc"), 0);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(copy_bounded(out, "abcd"), 1);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(copy_bounded(out, nullptr), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(format_bounded(out, "%d", 123), 0);
    EXPECT_STREQ(out, "123");
    EXPECT_EQ(format_bounded(out, "%d", 12345), 1);
    EXPECT_STREQ(out, "123");
}

TEST(BoundedText, ParseDecimalTakesOnlyDigitsInRange) {
    struct Case {
        std::string_view text;
        long long low, high;
        int ok;
        long long value;
    };
    constexpr Case kCases[] = {
        {"0", 0, 65535, 1, 0},
        {"65535", 0, 65535, 1, 65535},
        {"65536", 0, 65535, 0, 0},
        {"007", 0, 10, 1, 7},
        {"", 0, 10, 0, 0},
        {"-1", -5, 10, 0, 0},
        {"+1", 0, 10, 0, 0},
        {" 1", 0, 10, 0, 0},
        {"1 ", 0, 10, 0, 0},
        {"12a", 0, 100, 0, 0},
        {"99999999999999999999999", 0, LLONG_MAX, 0, 0},
        {"5", 6, 10, 0, 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        long long v = -42;
        const std::string text(kCases[i].text);
        EXPECT_EQ(parse_decimal(text.c_str(), kCases[i].low, kCases[i].high, &v), kCases[i].ok) << "row " << i;
        EXPECT_EQ(v, kCases[i].ok ? kCases[i].value : -42) << "row " << i;
    }
    long long v = 0;
    EXPECT_EQ(parse_decimal("8080/x", 4, 0, 65535, &v), 1);
    EXPECT_EQ(v, 8080);
}

TEST(BoundedText, LeadingDecimalIsForgivingAndClamped) {
    struct Case {
        const char* text;
        long long value;
        std::size_t used;
    };
    constexpr Case kCases[] = {
        {"", 0, 0}, {"abc", 0, 0}, {"12abc", 12, 2}, {"  42 ", 42, 4}, {"\t7", 7, 2},
        {"99999999999999999999", 0x7fffffff, 20},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const char* end = nullptr;
        EXPECT_EQ(leading_decimal(kCases[i].text, 0x7fffffff, &end), kCases[i].value) << "row " << i;
        EXPECT_EQ(static_cast<std::size_t>(end - kCases[i].text), kCases[i].used) << "row " << i;
    }
}

}  // namespace
}  // namespace kv::platform
