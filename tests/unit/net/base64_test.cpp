#include "net/base64.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace kv::net {
namespace {

std::string encode(std::string_view in, std::size_t size, bool groups = false) {
    std::string out(size + 8, '?');
    std::size_t n = groups ? base64_encode_groups(in.data(), in.size(), out.data(), size)
                           : base64_encode(in.data(), in.size(), out.data(), size);
    EXPECT_EQ(n, std::string_view(out.c_str()).size());
    return out.c_str();
}

TEST(Base64, EncodeAroundGroupBoundaries) {
    struct Case {
        std::string_view in, out;
    };
    constexpr Case kCases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {"joe:secret", "am9lOnNlY3JldA=="},
        {std::string_view("\xff\xfe\x00", 3), "//4A"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        EXPECT_EQ(encode(kCases[i].in, 64), kCases[i].out) << "row " << i;
        EXPECT_EQ(encode(kCases[i].in, 64, true), kCases[i].out) << "row " << i;
    }
}

TEST(Base64, OutputTooSmall) {
    struct Case {
        std::string_view in;
        std::size_t size;
        std::string_view whole, groups;
    };
    constexpr Case kCases[] = {
        {"foobar", 9, "Zm9vYmFy", "Zm9vYmFy"},  // exactly fits with the NUL
        {"foobar", 8, "", "Zm9v"},              // general: empty; SMTP: last whole group
        {"foob", 8, "", "Zm9v"},
        {"foo", 4, "", ""},
        {"foo", 1, "", ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        EXPECT_EQ(encode(kCases[i].in, kCases[i].size), kCases[i].whole) << "row " << i;
        EXPECT_EQ(encode(kCases[i].in, kCases[i].size, true), kCases[i].groups) << "row " << i;
    }
}

TEST(Base64, DecoderStopRules) {
    struct Case {
        const char* in;
        std::string_view strict, lenient;
    };
    constexpr Case kCases[] = {
        {"Zm9vYmFy", "foobar", "foobar"},
        {"Zm9vYg==", "foob", "foob"},
        {"Zm8=", "fo", "fo"},
        {"am9lOnNlY3JldA==", "joe:secret", "joe:secret"},
        {" \tZm9v", "foo", "foo"},              // leading blanks and tabs skipped by both
        {"Zm9v\r\nYmFy", "foo", "foobar"},      // general stops at CR; SMTP skips it
        {"Zm9v Ym Fy", "foo", "foobar"},
        {"Zm9v=YmFy", "foo", "foo"},            // '=' ends both
        {"*Zm9v", "", "foo"},
        {"", "", ""},
        {"Z", "", ""},                          // six bits make no byte
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[64];
        std::size_t n = base64_decode(kCases[i].in, out, sizeof out);
        EXPECT_EQ(std::string_view(out, n), kCases[i].strict) << "row " << i;
        EXPECT_EQ(out[n], '\0') << "row " << i;
        n = base64_decode_lenient(kCases[i].in, out, sizeof out);
        EXPECT_EQ(std::string_view(out, n), kCases[i].lenient) << "row " << i;
        EXPECT_EQ(out[n], '\0') << "row " << i;
    }
}

TEST(Base64, DecodeIntoSmallBuffer) {
    char out[4];
    EXPECT_EQ(base64_decode("Zm9vYmFy", out, sizeof out), 3u);
    EXPECT_STREQ(out, "foo");
    EXPECT_EQ(base64_decode_lenient("Zm9vYmFy", out, sizeof out), 3u);
    EXPECT_STREQ(out, "foo");
    char none[1];
    EXPECT_EQ(base64_decode("Zm9v", none, sizeof none), 0u);
    EXPECT_STREQ(none, "");
}

TEST(Base64, BinaryRoundTrip) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    char text[400], back[300];
    std::size_t n = base64_encode(all.data(), all.size(), text, sizeof text);
    ASSERT_EQ(n, 344u);
    ASSERT_EQ(base64_decode(text, back, sizeof back), all.size());
    EXPECT_EQ(std::string(back, all.size()), all);
}

}  // namespace
}  // namespace kv::net
