#include "admin/form_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kv::admin {
namespace {

TEST(FormFields, FindField) {
    struct Case {
        const char* text;
        const char* name;
        int offset;  // -1: absent
    };
    const Case kCases[] = {
        {"/admin/password?old_password=a&new_password=b", "new_password", 31},
        {"/x?POP3Password=p&Password=q", "Password", 7},  // the end of a longer name counts
        {"/x?Passwordx=1", "Password", -1},               // not directly followed by '='
        {"/x?a=1&DontHangup", "DontHangup", 7},           // a name ending the text counts
        {"/x?a=1", "b", -1},
        {"/x?a=1", "", -1},
        {"", "a", -1},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const char* found = find_field(kCases[i].text, kCases[i].name);
        if (kCases[i].offset < 0)
            EXPECT_EQ(found, nullptr) << "row " << i;
        else
            EXPECT_EQ(found, kCases[i].text + kCases[i].offset) << "row " << i;
    }
}

TEST(FormFields, Text) {
    struct Case {
        const char* text;
        const char* name;
        std::size_t max;
        int result;
        const char* out;
    };
    const Case kCases[] = {
        {"/p?user=bob&x=1", "user", 100, 1, "bob"},
        {"/p?user=a%20b%3d&x=1", "user", 100, 1, "a b="},  // %XX decoded after the cut
        {"/p?user=abcdef", "user", 3, 1, "abc"},          // at most max characters
        {"/p?user=&x=1", "user", 100, 1, ""},
        {"/p?x=1&user", "user", 100, 1, ""},               // present without a value
        {"/p?x=1", "user", 100, 0, "unchanged"},
        {"/p?user=a+b", "user", 100, 1, "a+b"},            // '+' is left to the pages
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[32] = "unchanged";
        EXPECT_EQ(field_text(kCases[i].text, kCases[i].name, kCases[i].max, out, sizeof out), kCases[i].result)
            << "row " << i;
        EXPECT_STREQ(out, kCases[i].out) << "row " << i;
    }
    // The output buffer bounds the copy whatever max says.
    char small[4];
    EXPECT_EQ(field_text("/p?a=123456", "a", 100, small, sizeof small), 1);
    EXPECT_STREQ(small, "123");
    // The text read is left as it was.
    char text[] = "/p?a=%41";
    char out[8];
    EXPECT_EQ(field_text(text, "a", 10, out, sizeof out), 1);
    EXPECT_STREQ(text, "/p?a=%41");
    EXPECT_STREQ(out, "A");
}

TEST(FormFields, NumberAndCheckbox) {
    struct Case {
        const char* text;
        int result;
        int value;
    };
    const Case kCases[] = {
        {"/a?Port=3128&x", 1, 3128},
        {"/a?Port=&x", 1, 0},          // empty counts, giving 0
        {"/a?x=1&Port", 1, 0},         // present without a value
        {"/a?Port=12a", 0, 77},        // not digits only: unchanged
        {"/a?Port=-1", 0, 77},
        {"/a?Port=2147483647", 1, 2147483647},
        {"/a?Port=2147483648", 0, 77},  // does not fit: unchanged
        {"/a?x=1", 0, 77},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        int value = 77;
        EXPECT_EQ(field_number(kCases[i].text, "Port", &value), kCases[i].result) << "row " << i;
        EXPECT_EQ(value, kCases[i].value) << "row " << i;
    }
    EXPECT_EQ(field_checkbox("/a?Log=on&b=1", "Log"), 1);
    EXPECT_EQ(field_checkbox("/a?b=1&Log", "Log"), 1);
    EXPECT_EQ(field_checkbox("/a?b=1", "Log"), 0);
}

}  // namespace
}  // namespace kv::admin
