#include "admin/form_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

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

TEST(FormFields, TheTwoMatchingRules) {
    struct Case {
        const char* text;
        const char* name;
        int at_field_start;  // offset of the value by kFieldStart, -1: absent
        int anywhere;        // by kAnywhere
    };
    const Case kCases[] = {
        {"/a?Item=1&AddItem=2", "Item", 8, 8},
        {"/a?AddItem=2", "Item", -1, 11},             // the end of a longer name counts only anywhere
        {"/a?x=Item%3D&Item=3", "Item", 18, 18},
        {"/a?x=aItem=b&Item=3", "Item", 18, 11},      // inside a value
        {"/a?Item", "Item", -1, 7},                   // a name ending the text: an empty value anywhere
        {"/aItem=1", "Item", -1, 7},                  // no query at all
        {"/a?b=1&&Item=4", "Item", 13, 13},
        {"/a?b=1?Item=5", "Item", -1, 12},            // a second '?' starts no field
        {"/a?", "Item", -1, -1},
        {"/a?Item=1", "", -1, -1},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        for (const auto& [match, expected] : {std::pair{FieldMatch::kFieldStart, c.at_field_start},
                                              std::pair{FieldMatch::kAnywhere, c.anywhere}}) {
            const char* value = field_value(c.text, c.name, match);
            if (expected < 0)
                EXPECT_EQ(value, nullptr) << "row " << i;
            else
                EXPECT_EQ(value, c.text + expected) << "row " << i;
        }
    }
    std::size_t length = 0;
    EXPECT_NE(field_value("/a?v=ab%26c&w=1", "v", FieldMatch::kFieldStart, &length), nullptr);
    EXPECT_EQ(length, 6u);  // up to the '&' that ends the field, an encoded one is part of it
}

TEST(FormFields, TypedText) {
    struct Case {
        const char* text;
        FieldRule rule;
        std::size_t max;
        int result;
        const char* out;
    };
    const std::string escaped_a = [] {
        std::string s;
        for (int i = 0; i < 12; ++i) s += "%41";
        return "/p?v=" + s;
    }();
    const Case kCases[] = {
        {"/p?v=a+b%2Bc%26d&w=1", kApplyFields, 100, 1, "a b+c&d"},  // '+' first, then %XX
        {"/p?v=+padded+", kApplyFields, 100, 1, " padded "},          // not trimmed
        {"/p?v=abcdef", kApplyFields, 4, 1, "abcd"},
        {escaped_a.c_str(), kApplyFields, 10, 1, "AAAAAAAAAA"},        // max counts decoded characters
        {escaped_a.c_str(), kPageFields, 10, 1, "AAA%"},               // max counts raw ones, cut in an escape
        {"/p?v=%00x", kApplyFields, 10, 1, ""},                        // a decoded NUL ends the text
        {"/p?v=", kApplyFields, 10, 1, ""},
        {"/p?w=1", kApplyFields, 10, 0, "unchanged"},
        {"/p?xv=1", kApplyFields, 10, 0, "unchanged"},
        {"/p?xv=1", kPageFields, 10, 1, "1"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[32] = "unchanged";
        EXPECT_EQ(form_text(kCases[i].text, "v", kCases[i].rule, kCases[i].max, out, sizeof out), kCases[i].result)
            << "row " << i;
        EXPECT_STREQ(out, kCases[i].out) << "row " << i;
    }
    // The output buffer bounds the copy whatever max says.
    char small[4];
    EXPECT_EQ(form_text("/p?v=123456", "v", kApplyFields, 100, small, sizeof small), 1);
    EXPECT_STREQ(small, "123");
    // Items are trimmed and empty when absent.
    char item[16] = "unchanged";
    form_item("/p?v=+a+b+", "v", kApplyFields, 10, item, sizeof item);
    EXPECT_STREQ(item, "a b");
    form_item("/p?w=1", "v", kApplyFields, 10, item, sizeof item);
    EXPECT_STREQ(item, "");
}

TEST(FormFields, FormNumbersAndCheckboxesByTheApplyRule) {
    struct Case {
        const char* text;
        int result;
        int value;
    };
    const Case kCases[] = {
        {"/a?Port=3128&x", 1, 3128},
        {"/a?Port=&x", 1, 0},
        {"/a?Port=0012", 1, 12},
        {"/a?Port=12abc", 0, 77},
        {"/a?Port=abc", 0, 77},
        {"/a?Port=%31", 0, 77},  // the raw value: an escape is no digit
        {"/a?Port=+1", 0, 77},
        {"/a?Port=2147483647", 1, 2147483647},
        {"/a?Port=99999999999999999999", 0, 77},
        {"/a?x=1&Port", 0, 77},    // no '=': not a field by this rule
        {"/a?XPort=5", 0, 77},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        int value = 77;
        EXPECT_EQ(form_number(kCases[i].text, "Port", kApplyFields, &value), kCases[i].result) << "row " << i;
        EXPECT_EQ(value, kCases[i].value) << "row " << i;
    }
    EXPECT_EQ(form_checkbox("/a?Log=on", "Log", kApplyFields), 1);
    EXPECT_EQ(form_checkbox("/a?Log=", "Log", kApplyFields), 1);
    EXPECT_EQ(form_checkbox("/a?b=1&Log", "Log", kApplyFields), 0);
    EXPECT_EQ(form_checkbox("/a?XLog=on", "Log", kApplyFields), 0);
}

TEST(FormFields, LeadingNumbersOfListForms) {
    struct Case {
        const char* text;
        int value;
    };
    const Case kCases[] = {
        {"8110", 8110},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"007", 7},
        {"2147483647", 2147483647},
        {"2147483648", 0},                // past INT_MAX
        {"99999999999", 0},
        {"21474836470", 2147483647},     // the digits reached INT_MAX exactly, then stopped
        {"02147483647999", 2147483647},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(leading_number(kCases[i].text), kCases[i].value) << "row " << i;
}

}  // namespace
}  // namespace kv::admin
