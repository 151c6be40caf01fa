#include "cache/object_file.h"

#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace kv::cache {
namespace {

constexpr unsigned char kKey[16] = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xcd, 0xef, 0xff,
                                    0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x9a};

TEST(ObjectFile, NameAndPath) {
    char name[kObjectNameLength + 1];
    object_name(2, kKey, name);
    EXPECT_STREQ(name, "200017f80abcdefff102030405060709a.cch");
    char kind = 0;
    unsigned char key[16] = {};
    ASSERT_EQ(parse_object_name(name, &kind, key), 1);
    EXPECT_EQ(kind, '2');
    EXPECT_EQ(std::memcmp(key, kKey, 16), 0);

    char path[kPathSize];
    ASSERT_EQ(object_path("/var/cache/kv", "www.example.com", 0, kKey, path, sizeof path), 1);
    EXPECT_STREQ(path, "/var/cache/kv/www.example.com.dns/000017f80abcdefff102030405060709a.cch");
    EXPECT_EQ(object_path("/c", "../etc", 0, kKey, path, sizeof path), 0);
    char small[20];
    EXPECT_EQ(object_path("/c", "h", 0, kKey, small, sizeof small), 0);  // does not fit

    // Names that are not objects: wrong length, upper-case or non-hex digits, other tail.
    for (const char* bad : {"000017f80abcdefff102030405060709a.cc", "0000017F80abcdefff102030405060709a.cch",
                            "0g0017f80abcdefff102030405060709a.cch", "000017f80abcdefff102030405060709a.chc", ""})
        EXPECT_EQ(parse_object_name(bad, &kind, key), 0) << bad;
}

TEST(ObjectFile, HeaderRoundTripAndLayout) {
    unsigned char buf[kHeaderMax];
    const ObjectHeader h{kFormatWriting, 0, 1, 1'900'000'000LL, nullptr};
    const std::size_t n = encode_header(h, "http://h/p", buf, sizeof buf);
    ASSERT_EQ(n, 17u + 10 + 1);
    // The layout byte by byte: format, data offset, hits, expiry (LE), URL, NUL.
    const unsigned char fixed[17] = {1, 28, 0, 0, 0, 1, 0, 0, 0, 0x00, 0xb3, 0x3f, 0x71, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(buf, fixed, 17), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 17)), "http://h/p");

    ObjectHeader d{};
    ASSERT_EQ(decode_header(buf, n, &d), 1);
    EXPECT_EQ(d.format, kFormatWriting);
    EXPECT_EQ(d.data_offset, 28u);
    EXPECT_EQ(d.hits, 1u);
    EXPECT_EQ(d.expiry, 1'900'000'000LL);
    EXPECT_STREQ(d.url, "http://h/p");
    // Only the fixed part at hand: valid, URL unknown.
    ASSERT_EQ(decode_header(buf, 17, &d), 1);
    EXPECT_STREQ(d.url, "");

    // Negative expiry survives; a long URL is cut to the limit.
    const std::string long_url(kUrlMax + 50, 'u');
    const ObjectHeader past{kFormatComplete, 0, 7, -5, nullptr};
    const std::size_t m = encode_header(past, long_url.c_str(), buf, sizeof buf);
    EXPECT_EQ(m, kHeaderMax);
    ASSERT_EQ(decode_header(buf, m, &d), 1);
    EXPECT_EQ(d.expiry, -5);
    EXPECT_EQ(std::strlen(d.url), kUrlMax);
    EXPECT_EQ(encode_header(past, "http://x", buf, 20), 0u);  // too small
}

TEST(ObjectFile, HeaderRejects) {
    unsigned char buf[kHeaderMax];
    const ObjectHeader h{kFormatComplete, 0, 1, 0, nullptr};
    const std::size_t n = encode_header(h, "u", buf, sizeof buf);
    ObjectHeader d{};
    EXPECT_EQ(decode_header(buf, 16, &d), 0);  // short
    struct Case {
        std::size_t at;
        unsigned char value;
    };
    const Case kCases[] = {{0, 2}, {1, 17}, {1, 0}, {2, 0x10}};  // format; data offset too small or too large
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        unsigned char copy[kHeaderMax];
        std::memcpy(copy, buf, n);
        copy[kCases[i].at] = kCases[i].value;
        EXPECT_EQ(decode_header(copy, n, &d), 0) << "row " << i;
    }
    // A URL without its NUL where the data offset says is not taken.
    unsigned char copy[kHeaderMax];
    std::memcpy(copy, buf, n);
    copy[n - 1] = 'x';
    ASSERT_EQ(decode_header(copy, n, &d), 1);
    EXPECT_STREQ(d.url, "");
}

TEST(ObjectFile, RequestHostNames) {
    struct Case {
        const char* host;
        bool allowed;
    };
    const Case kCases[] = {{"www.example.com", true}, {"127.0.0.1", true}, {"a-b_c", true},
                           {"", false},  {".", false},     {"..", false},  {".hidden", false},
                           {"a..b", false}, {"a/b", false}, {"a\\b", false}, {"a.", true},
                           {"../x", false}, {"a/../../b", false}, {"..\\", false}, {"/etc/passwd", false},
                           {"a/", false},   {"%2e%2e%2f", true},  // never decoded: one literal name
                           {"a\r\nb", false}, {"a\tb", false},     {"a\x7f", false}};
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(host_name_allowed(kCases[i].host), kCases[i].allowed) << "row " << i;
    EXPECT_FALSE(host_name_allowed(nullptr));
}

TEST(ObjectFile, AdministrationNames) {
    struct Dir {
        const char* name;
        bool allowed;
    };
    const Dir kDirs[] = {{"www.example.com.dns", true}, {"h.dns", true}, {".dns", false},
                         {"www.example.com", false},     {"../x.dns", false}, {"a/b.dns", false},
                         {"a\\b.dns", false},            {"..dns", false},    {"x..dns", false},
                         {"a\nb.dns", false}};
    for (std::size_t i = 0; i < std::size(kDirs); ++i)
        EXPECT_EQ(directory_name_allowed(kDirs[i].name), kDirs[i].allowed) << "row " << i;

    struct Rel {
        const char* relative;
        const char* mapped;  // nullptr: refused
    };
    const Rel kRels[] = {
        {"h.dns\\0abc.cch", "h.dns/0abc.cch"},
        {"www.a.b.dns\\000017f80abcdefff102030405060709a.cch", "www.a.b.dns/000017f80abcdefff102030405060709a.cch"},
        {"h.dns/0abc.cch", nullptr},         // slash form is not the link's form
        {"h.dns\\..\\x.cch", nullptr},       // two backslashes
        {"..\\0abc.cch", nullptr},
        {"h.dns\\..cch", nullptr},
        {"h.dns\\0abc.txt", nullptr},        // not an object file
        {"h.dns\\.cch", nullptr},
        {"h\\0abc.cch", nullptr},            // not a host directory
        {"h.dns\\a/b.cch", nullptr},
        {"\\0abc.cch", nullptr},
        {"h.dns\\", nullptr},
        {"", nullptr},
    };
    for (std::size_t i = 0; i < std::size(kRels); ++i) {
        char out[kPathSize] = "";
        const int got = map_relative_name(kRels[i].relative, out, sizeof out);
        EXPECT_EQ(got, kRels[i].mapped ? 1 : 0) << "row " << i;
        if (kRels[i].mapped) {
            EXPECT_STREQ(out, kRels[i].mapped) << "row " << i;
        }
    }
}

TEST(ObjectFile, TotalsChangeMergeAndStatusBytes) {
    Totals t{};
    totals_change(t, 1000, 0, 1);
    totals_change(t, 300, 2, 1);
    totals_change(t, 50, 1, 1);
    totals_change(t, 999, 7, 1);   // unknown kind: nothing
    totals_change(t, 50, 1, -1);
    const Totals want{{1300, 1000, 0, 300, 2, 1, 0, 1}};
    EXPECT_EQ(std::memcmp(&t, &want, sizeof t), 0);

    // The run deleted down to 400; connections added 100 bytes and one object
    // meanwhile (current - snapshot): both survive.
    const Totals snapshot{{1300, 1000, 0, 300, 2, 1, 0, 1}};
    const Totals current{{1400, 1100, 0, 300, 3, 2, 0, 1}};
    const Totals run{{300, 0, 0, 300, 1, 0, 0, 1}};
    const Totals merged = totals_merge(run, current, snapshot);
    const Totals merged_want{{400, 100, 0, 300, 2, 1, 0, 1}};
    EXPECT_EQ(std::memcmp(&merged, &merged_want, sizeof merged), 0);

    unsigned char bytes[kStatusFileSize];
    const Totals neg{{-1, 1, 256, 0x01020304, 0, 0, 0, 0}};
    totals_encode(neg, bytes);
    const unsigned char start[16] = {0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 0, 1, 0, 0, 4, 3, 2, 1};
    EXPECT_EQ(std::memcmp(bytes, start, sizeof start), 0);
    const Totals back = totals_decode(bytes);
    EXPECT_EQ(std::memcmp(&back, &neg, sizeof back), 0);
}

TEST(ObjectFile, TrustedTotals) {
    struct Case {
        std::int32_t bytes, objects;
        std::size_t read;
        bool trusted;
    };
    const Case kCases[] = {{5'000'000, 60, 32, true},  {5'000'000, 50, 32, true}, {5'000'000, 49, 32, false},
                           {1'048'576, 60, 32, true},  {1'048'575, 60, 32, false}, {5'000'000, 60, 31, false},
                           {5'000'000, 40, 32, false}, {-1, 60, 32, false}};
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        Totals t{};
        t.v[kTotalBytes] = kCases[i].bytes;
        t.v[kTotalObjects] = kCases[i].objects;
        EXPECT_EQ(totals_trusted(t, kCases[i].read), kCases[i].trusted) << "row " << i;
    }
}

}  // namespace
}  // namespace kv::cache
