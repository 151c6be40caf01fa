#include "net/dates.h"
#include "net/mail_headers.h"
#include "net/socket_error_text.h"
#include "net/text_escape.h"
#include "net/text_scan.h"

#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace kv::net {
namespace {

TEST(TextUtils, SocketErrorText) {
    struct Case {
        int code;
        std::string_view text;
    };
    constexpr Case kCases[] = {
        {10004, "The (blocking) call was canceled using WSACancelBlockingCall"},
        {10009, "WSAEBADF"},
        {10101, "WSAEBADF"},
        {10054, "The virtual circuit was reset by the remote side"},
        {10060, "Attempt to connect timed out without establishing a connection"},
        {10061, "The attempt to connect was forcefully rejected"},
        {11004, "Valid name, no data record of requested type"},
        {12345, "Unknown socket error"},
        {0, "Unknown socket error"},
        {10035, "Unknown socket error"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(socket_error_text(kCases[i].code), kCases[i].text) << "row " << i;
}

TEST(TextUtils, UrlEscape) {
    struct Case {
        std::string_view in;
        std::size_t capacity;
        std::string_view out;
    };
    constexpr Case kCases[] = {
        {"a b&c", 64, "a%20b%26c"},
        {"%?+& ", 64, "%25%3f%2b%26%20"},
        {"plain/path.html", 64, "plain/path.html"},
        {"", 64, ""},
        {"a b&c", 10, "a%20b%26c"},  // exactly fits with the NUL
        {"a b&c", 9, "a%20b%26"},    // the last plain character does not fit
        {"a b&c", 8, "a%20b"},       // the next escape would not fit: cut there
        {"a b&c", 4, "a"},
        {"ab c", 3, "ab"},
        {"abc", 1, ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char buf[64] = {};
        std::memcpy(buf, kCases[i].in.data(), kCases[i].in.size());
        url_escape(buf, kCases[i].capacity);
        EXPECT_EQ(std::string_view(buf), kCases[i].out) << "row " << i;
    }
}

TEST(TextUtils, UrlUnescapeAndPlus) {
    struct Case {
        std::string_view in, out;
    };
    constexpr Case kCases[] = {
        {"a%20b%26c", "a b&c"}, {"%3F%3f", "??"}, {"100%", "100%"}, {"%zz%4", "%zz%4"}, {"a+b", "a+b"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char buf[32] = {};
        std::memcpy(buf, kCases[i].in.data(), kCases[i].in.size());
        url_unescape(buf);
        EXPECT_EQ(std::string_view(buf), kCases[i].out) << "row " << i;
    }
    char form[] = "first+second++";
    plus_to_blank(form);
    EXPECT_STREQ(form, "first second  ");
}

TEST(TextUtils, HtmlEscape) {
    struct Case {
        std::string_view in;
        std::size_t size;
        std::string_view copy;       // html_escape into `size` bytes
        std::size_t in_place_len;    // html_escape_in_place with capacity `size`
        std::string_view in_place;
    };
    constexpr Case kCases[] = {
        {"<a href=\"x\">&", 64, "&lt;a href=\"x\"&gt;&", 19, "&lt;a href=\"x\"&gt;&"},
        {"", 64, "", 0, ""},
        {"a<b", 7, "a&lt;b", 6, "a&lt;b"},  // exactly fits
        {"a<b", 6, "a&lt;", 0, "a<b"},      // in place: too long, left as it was
        {"a<b", 4, "a", 0, "a<b"},          // copy: cut before the entity, not inside it
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        char out[64];
        html_escape(std::string(c.in).c_str(), out, c.size);
        EXPECT_EQ(std::string_view(out), c.copy) << "row " << i;
        char buf[64] = {};
        std::memcpy(buf, c.in.data(), c.in.size());
        EXPECT_EQ(html_escape_in_place(buf, c.size), c.in_place_len) << "row " << i;
        EXPECT_EQ(std::string_view(buf), c.in_place) << "row " << i;
    }
}

TEST(TextUtils, HtmlEscapeAttribute) {
    struct Case {
        std::string_view in;
        std::size_t size;
        std::string_view out;
    };
    constexpr Case kCases[] = {
        {"<a href=\"x\">&b", 64, "&lt;a href=&quot;x&quot;&gt;&amp;b"},
        {"", 64, ""},
        {"plain", 6, "plain"},   // exactly fits
        {"a\"b", 9, "a&quot;b"}, // exactly fits
        {"a\"b", 7, "a"},        // cut before the entity, never inside it
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[64];
        html_escape_attribute(std::string(kCases[i].in).c_str(), out, kCases[i].size);
        EXPECT_EQ(std::string_view(out), kCases[i].out) << "row " << i;
    }
}

TEST(TextUtils, HtmlEscapeForTextAndAttributes) {
    struct Case {
        std::string_view in, out;
    };
    const Case kCases[] = {{"", ""},
                           {"http://h/p?a=1", "http://h/p?a=1"},
                           {"<a href=\"x\">&", "&lt;a href=&quot;x&quot;&gt;&amp;"},
                           {"'single'", "'single'"}};
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[128];
        html_escape_attribute(std::string(kCases[i].in).c_str(), out, sizeof out);
        EXPECT_EQ(std::string_view(out), kCases[i].out) << "row " << i;
    }
    char small[8];
    html_escape_attribute("ab<cd", small, sizeof small);  // never inside an entity
    EXPECT_STREQ(small, "ab&lt;c");
    char tiny[5];
    html_escape_attribute("ab<cd", tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "ab");
}

TEST(TextUtils, CaseBlindFindAndWordList) {
    const char* text = "Dial the ISP.Example.com Now";
    EXPECT_EQ(find_case_blind(text, "isp.example"), text + 9);
    EXPECT_EQ(find_case_blind(text, "NOW"), text + 25);
    EXPECT_EQ(find_case_blind(text, "nowhere"), nullptr);
    EXPECT_EQ(find_case_blind("", "a"), nullptr);

    struct Case {
        const char* list;
        const char* text;
        bool match;
    };
    constexpr Case kCases[] = {
        {"windowsupdate  example.COM", "www.Example.com", true},
        {"foo\tbar\r\nbaz", "xxBAZxx", true},
        {"foo bar", "fo ba", false},
        {"", "anything", false},
        {" \t\r\n", "anything", false},
        {"longword", "long", false},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(word_list_match(kCases[i].list, kCases[i].text), kCases[i].match) << "row " << i;
}

TEST(TextUtils, HeaderValue) {
    struct Case {
        const char* name;
        std::string_view block;
        int found;
        std::string_view value;
    };
    constexpr Case kCases[] = {
        {"Subject:", "Subject: hello\r\nFrom: a@b\r\n", 1, "hello"},
        {"subject:", "SUBJECT:hello\r\n", 1, "hello"},
        {"Subject:", "Subject:  two blanks\r\n", 1, " two blanks"},  // one blank dropped
        {"To:", "To: a@b,\r\n c@d,\r\n\te@f\r\nX: y\r\n", 1, "a@b, c@d,\te@f"},
        {"To:", "To: last line", 1, "last line"},
        {"To:", "To: x\r", 1, "x"},
        {"To:", "X-To: a\r\n", 0, ""},
        {"Subject:", "Subj", 0, ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        char out[64];
        EXPECT_EQ(header_value(c.name, c.block.data(), c.block.size(), out, sizeof out), c.found) << "row " << i;
        EXPECT_EQ(std::string_view(out), c.value) << "row " << i;
    }
    // The block length bounds the search, not a NUL; the value is cut to the field.
    const char block[] = "From: abcdefgh\r\n";
    char small[5];
    EXPECT_EQ(header_value("From:", block, 10, small, sizeof small), 1);
    EXPECT_STREQ(small, "abcd");
}

TEST(TextUtils, MailAddressAndTokens) {
    struct Case {
        const char* in;
        std::string_view out;
    };
    constexpr Case kCases[] = {
        {"Joe User <joe@example.com>", "joe@example.com"},
        {"<joe@example.com>", "joe@example.com"},
        {"joe@example.com (Joe)", "joe@example.com"},
        {"postmaster", "postmaster"},
        {"", ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char out[64];
        extract_mail_address(kCases[i].in, out, sizeof out);
        EXPECT_EQ(std::string_view(out), kCases[i].out) << "row " << i;
    }
    char small[4];
    extract_mail_address("<ab@cd>", small, sizeof small);
    EXPECT_STREQ(small, "ab@");

    const char* cursor = "  USER  joe,,pass  ";
    char tok[5];
    EXPECT_EQ(next_token(&cursor, " ,", tok, sizeof tok), 1);
    EXPECT_STREQ(tok, "USER");
    EXPECT_EQ(next_token(&cursor, " ,", tok, sizeof tok), 1);
    EXPECT_STREQ(tok, "joe");
    EXPECT_EQ(next_token(&cursor, " ,", tok, sizeof tok), 1);
    EXPECT_STREQ(tok, "pass");
    EXPECT_EQ(next_token(&cursor, " ,", tok, sizeof tok), 0);
    EXPECT_STREQ(tok, "");
    const char* longer = "toolong next";
    EXPECT_EQ(next_token(&longer, " ", tok, sizeof tok), 0);  // does not fit: nothing copied
    EXPECT_STREQ(tok, "");
    EXPECT_STREQ(longer, " next");
}

TEST(TextUtils, TrimAndSlash) {
    struct Case {
        std::string_view in, out;
    };
    constexpr Case kSlash[] = {{"C:\\mail\\", "C:\\mail"}, {"/var/mail/", "/var/mail"}, {"\\", "\\"}, {"/", "/"},
                               {"dir//", "dir"},           {"/var/x/\\", "/var/x"}, {"//", "/"}, {"", ""}};
    for (std::size_t i = 0; i < std::size(kSlash); ++i) {
        char buf[32] = {};
        std::memcpy(buf, kSlash[i].in.data(), kSlash[i].in.size());
        trim_trailing_slash(buf);
        EXPECT_EQ(std::string_view(buf), kSlash[i].out) << "row " << i;
    }
    constexpr Case kTrim[] = {{"  a b \t\r\n", "a b"}, {"   ", ""}, {"x", "x"}, {"", ""}};
    for (std::size_t i = 0; i < std::size(kTrim); ++i) {
        char buf[32] = {};
        std::memcpy(buf, kTrim[i].in.data(), kTrim[i].in.size());
        trim(buf);
        EXPECT_EQ(std::string_view(buf), kTrim[i].out) << "row " << i;
    }
}

TEST(TextUtils, MonthAndDayNames) {
    EXPECT_STREQ(month_name(1), "Jan");
    EXPECT_STREQ(month_name(12), "Dec");
    EXPECT_STREQ(month_name(0), "Jan");
    EXPECT_STREQ(month_name(13), "Jan");
    EXPECT_STREQ(day_name(0), "Sun");
    EXPECT_STREQ(day_name(6), "Sat");
    EXPECT_STREQ(day_name(7), "Mon");
    EXPECT_STREQ(day_name(-1), "Mon");
}

TEST(TextUtils, HttpDates) {
    struct Case {
        const char* in;
        std::int64_t seconds;
    };
    constexpr std::int64_t k1994 = 784111777;  // 6 Nov 1994 08:49:37 UTC
    constexpr Case kCases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", k1994},
        {"Sunday, 06-Nov-94 08:49:37 GMT", k1994},
        {"Sun Nov  6 08:49:37 1994", k1994},
        {"Sun, 06 Nov 1994 08:49:37 +0200", k1994},     // the zone is ignored
        {"Thu, 01 Jan 1970 00:00:01 GMT", 1},
        {"Mon, 29 Feb 2016 23:59:59 GMT", 1456790399},
        {"Sunday, 06-Nov-1994 08:49:37 GMT", k1994},     // four-digit year kept as written
        {"Sun, 06 nov 1994 08:49:37 GMT", k1994 - 26265600},  // month is case-sensitive: January
        {"Sun, 06 Foo 1994 08:49:37 GMT", k1994 - 26265600},
        {"Sun, 06 Nov 1994", 0},                         // fields missing
        {"Sun, xx Nov 1994 08:49:37 GMT", 0},
        {"Sun, 06 Nov 1994 25:49:37 GMT", 0},
        {"garbage", 0},
        {"", 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(parse_http_date(kCases[i].in), kCases[i].seconds) << "row " << i;
}

TEST(TextUtils, HoursSinceEpoch) {
    struct Case {
        int year, month, day;
        long hours;
    };
    constexpr Case kCases[] = {
        {1973, 1, 1, 24},                                       // day of month counts from 1
        {1973, 3, 1, 24 * (31 + 28 + 1)},
        {1976, 3, 1, 24 * (365 * 3 + 0 + 31 + 28 + 1 + 1)},     // leap year after February
        {1976, 2, 29, 24 * (365 * 3 + 0 + 31 + 29)},
        {1977, 1, 1, 24 * (365 * 4 + 1 + 1)},
        {2024, 6, 15, 24L * (365 * 51 + 12 + 151 + 15 + 1)},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        std::tm t{};
        t.tm_year = kCases[i].year - 1900;
        t.tm_mon = kCases[i].month - 1;
        t.tm_mday = kCases[i].day;
        t.tm_hour = 13;  // the time of day does not count
        EXPECT_EQ(hours_since_epoch(t), kCases[i].hours) << "row " << i;
    }
}

TEST(TextUtils, AddDays) {
    struct Case {
        int y, m, d, n;
        int ey, em, ed;
    };
    constexpr Case kCases[] = {
        {2024, 1, 31, 1, 2024, 2, 1},
        {2024, 2, 28, 1, 2024, 3, 1},       // February always has 28 days
        {2024, 12, 31, 1, 2025, 1, 1},
        {2024, 5, 10, 0, 2024, 5, 10},
        {2024, 5, 10, 365, 2025, 5, 10},
        {2024, 5, 10, 365 * 3 + 30, 2027, 6, 9},
        {2024, 2, 29, 1, 2024, 3, 1},       // a real 29 February steps out of the month
        {2024, 2, 29, 365, 2025, 2, 28},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        int y = c.y, m = c.m, d = c.d;
        add_days(&y, &m, &d, c.n);
        EXPECT_EQ(y, c.ey) << "row " << i;
        EXPECT_EQ(m, c.em) << "row " << i;
        EXPECT_EQ(d, c.ed) << "row " << i;
    }
}

}  // namespace
}  // namespace kv::net
