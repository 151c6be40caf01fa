#include "config/config_lists.h"

#include "platform/socket.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kv::config {
namespace {

using kv::test::read_available;

std::vector<std::string> user_names(const ConfigLists& l) {
    std::vector<std::string> out;
    for (const UserRecord& u : l.users) out.emplace_back(u.name);
    return out;
}
std::vector<std::string> patterns(const ConfigLists& l) {
    std::vector<std::string> out;
    for (const AccessRule& r : l.access) out.emplace_back(r.pattern);
    return out;
}
std::string token_list(int first, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        char t[8];
        std::snprintf(t, sizeof t, "%03d:", first + i);
        out += t;
    }
    return out;
}

TEST(Users, LowestFreeIdIsReused) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_GE(add_user(l, "ann", "a"), 0);
    ASSERT_GE(add_user(l, "ben", "b"), 0);
    EXPECT_STREQ(l.users[static_cast<std::size_t>(find_user(l, "ann"))].id, "000");
    EXPECT_STREQ(l.users[static_cast<std::size_t>(find_user(l, "ben"))].id, "001");
    ASSERT_EQ(remove_user(l, "ann"), 1);
    ASSERT_GE(add_user(l, "cy", "c"), 0);
    EXPECT_STREQ(l.users[static_cast<std::size_t>(find_user(l, "cy"))].id, "000");
    EXPECT_EQ(remove_user(l, "ann"), 0);
}

TEST(Users, AllNineHundredIdsThenRefused) {
    ConfigLists l;
    reset_lists(l);
    for (int i = 0; i < 900; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "u%d", i);
        ASSERT_GE(add_user(l, name, "p"), 0) << "user " << i;
    }
    EXPECT_EQ(add_user(l, "one-too-many", "p"), kNotFound);
    ASSERT_EQ(remove_user(l, "u417"), 1);
    const int i = add_user(l, "late", "p");
    ASSERT_GE(i, 0);
    EXPECT_STREQ(l.users[static_cast<std::size_t>(i)].id, "417");
}

TEST(Users, NamesDistinctWithCaseSortBlind) {
    ConfigLists l;
    reset_lists(l);
    EXPECT_GE(add_user(l, "bob", "x"), 0);
    EXPECT_GE(add_user(l, "Carl", "x"), 0);
    EXPECT_GE(add_user(l, "alice", "x"), 0);
    EXPECT_GE(add_user(l, "Bob", "x"), 0);
    EXPECT_EQ(add_user(l, "bob", "y"), kNotFound);
    EXPECT_EQ(add_user(l, "", "y"), kNotFound);
    EXPECT_EQ(add_user(l, nullptr, "y"), kNotFound);
    // Equal without case: insertion order.
    EXPECT_EQ(user_names(l), (std::vector<std::string>{"alice", "bob", "Bob", "Carl"}));
    EXPECT_EQ(find_user(l, "Bob"), 2);
    EXPECT_EQ(find_user(l, "BOB"), kNotFound);
}

TEST(Users, PasswordDigestAndCheck) {
    ConfigLists l;
    reset_lists(l);
    char d[33];
    password_digest("alice", "secret", d);
    EXPECT_STREQ(d, "50a87ecfb217aeb95fc7215e4bcbeda8");
    const int i = add_user(l, "alice", "secret");
    ASSERT_GE(i, 0);
    EXPECT_STREQ(l.users[static_cast<std::size_t>(i)].digest, d);
    EXPECT_STREQ(l.users[static_cast<std::size_t>(i)].groups, "");

    struct Case {
        const char* name;
        const char* password;
        int ok;
    };
    const Case before[] = {{"alice", "secret", 1}, {"alice", "Secret", 0}, {"Alice", "secret", 0},
                           {"alice", "", 0},       {"nobody", "secret", 0}};
    for (std::size_t r = 0; r < std::size(before); ++r)
        EXPECT_EQ(check_password(l, before[r].name, before[r].password), before[r].ok) << "row " << r;

    EXPECT_EQ(set_password(l, "alice", "other"), 1);
    EXPECT_STREQ(l.users[static_cast<std::size_t>(i)].digest, "59acaf44e2c8f485d2e919b6a0177ca1");
    EXPECT_EQ(check_password(l, "alice", "other"), 1);
    EXPECT_EQ(check_password(l, "alice", "secret"), 0);
    EXPECT_EQ(set_password(l, "ghost", "x"), 0);
}

TEST(Users, LongNameCutAndStillChecks) {
    ConfigLists l;
    reset_lists(l);
    const std::string name(200, 'n');
    ASSERT_GE(add_user(l, name.c_str(), "pw"), 0);
    EXPECT_EQ(std::string(l.users[0].name).size(), 128u);
    EXPECT_EQ(check_password(l, name.c_str(), "pw"), 1);
    EXPECT_EQ(add_user(l, name.c_str(), "pw"), kNotFound);  // same first 128 characters
}

TEST(Groups, AdminsFirstIdsAndRemoval) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_EQ(l.groups.size(), 1u);
    EXPECT_STREQ(l.groups[0].id, "900");
    EXPECT_EQ(add_group(l, "Aaron"), 1);  // after Admins although it sorts before
    EXPECT_EQ(add_group(l, "staff"), 2);
    EXPECT_EQ(add_group(l, "staff"), kNotFound);
    EXPECT_EQ(add_group(l, ""), kNotFound);
    EXPECT_STREQ(l.groups[0].name, "Admins");
    EXPECT_STREQ(l.groups[static_cast<std::size_t>(find_group(l, "Aaron"))].id, "901");
    EXPECT_STREQ(l.groups[static_cast<std::size_t>(find_group(l, "staff"))].id, "902");

    ASSERT_GE(add_user(l, "ann", "x"), 0);
    EXPECT_EQ(add_to_group(l, "ann", "staff"), 1);
    EXPECT_EQ(add_to_group(l, "ann", "staff"), 0);  // already a member
    EXPECT_EQ(add_to_group(l, "ann", "Admins"), 1);
    EXPECT_EQ(add_to_group(l, "ann", "nogroup"), 0);
    EXPECT_EQ(add_to_group(l, "nouser", "staff"), 0);
    EXPECT_STREQ(l.users[0].groups, "902:900:");
    EXPECT_EQ(is_group_member(l, "ann", "staff"), 1);
    EXPECT_EQ(is_group_member(l, "ann", "Aaron"), 0);

    EXPECT_EQ(remove_group(l, "Admins"), 0);
    EXPECT_EQ(remove_group(l, "staff"), 1);
    EXPECT_STREQ(l.users[0].groups, "900:");
    EXPECT_EQ(remove_from_group(l, "ann", "Admins"), 1);
    EXPECT_EQ(remove_from_group(l, "ann", "Admins"), 0);
    EXPECT_STREQ(l.users[0].groups, "");
    // The freed id is given again.
    EXPECT_GE(add_group(l, "again"), 0);
    EXPECT_STREQ(l.groups[static_cast<std::size_t>(find_group(l, "again"))].id, "902");
}

TEST(IdLists, NineteenTokensThenRefused) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_GE(add_user(l, "ann", "x"), 0);
    for (int i = 0; i < 20; ++i) {
        char g[8];
        std::snprintf(g, sizeof g, "g%02d", i);
        ASSERT_GE(add_group(l, g), 0);
        EXPECT_EQ(add_to_group(l, "ann", g), i < 19 ? 1 : 0) << "group row " << i;
    }
    EXPECT_EQ(std::string(l.users[0].groups), token_list(901, 19));

    ASSERT_GE(add_access_rule(l, "*", nullptr), 0);
    for (int i = 0; i < 20; ++i) {
        char id[8];
        std::snprintf(id, sizeof id, "%03d", i);
        EXPECT_EQ(add_access_member(l, "*", id), i < 19 ? 1 : 0) << "member row " << i;
    }
    EXPECT_EQ(std::string(l.access[0].members), token_list(0, 19));
    EXPECT_EQ(add_access_member(l, "*", "12"), 0);  // an id is exactly three characters
}

TEST(AccessList, OrderSelectedAndMoves) {
    ConfigLists l;
    reset_lists(l);
    EXPECT_EQ(add_access_rule(l, "http://c/*", nullptr), 0);
    EXPECT_EQ(add_access_rule(l, "http://a/*", ""), 1);
    EXPECT_EQ(add_access_rule(l, "http://b/*", "no such rule"), 2);
    EXPECT_EQ(add_access_rule(l, "HTTP://A/*", nullptr), kNotFound);
    EXPECT_EQ(add_access_rule(l, "", nullptr), kNotFound);
    EXPECT_EQ(patterns(l), (std::vector<std::string>{"http://c/*", "http://a/*", "http://b/*"}));

    // The new rule takes the selected one's place; the selected goes last.
    EXPECT_EQ(add_access_rule(l, "http://new/*", "HTTP://C/*"), 0);
    EXPECT_EQ(patterns(l),
              (std::vector<std::string>{"http://new/*", "http://a/*", "http://b/*", "http://c/*"}));

    struct Move {
        bool up;
        const char* pattern;
        int result;
        std::vector<std::string> after;
    };
    const Move moves[] = {
        {true, "http://new/*", 0, {"http://new/*", "http://a/*", "http://b/*", "http://c/*"}},
        {false, "http://c/*", 0, {"http://new/*", "http://a/*", "http://b/*", "http://c/*"}},
        {true, "http://b/*", 1, {"http://new/*", "http://b/*", "http://a/*", "http://c/*"}},
        {false, "http://new/*", 1, {"http://b/*", "http://new/*", "http://a/*", "http://c/*"}},
        {true, "nothing", 0, {"http://b/*", "http://new/*", "http://a/*", "http://c/*"}},
    };
    for (std::size_t r = 0; r < std::size(moves); ++r) {
        const Move& m = moves[r];
        EXPECT_EQ(m.up ? move_access_rule_up(l, m.pattern) : move_access_rule_down(l, m.pattern),
                  m.result)
            << "row " << r;
        EXPECT_EQ(patterns(l), m.after) << "row " << r;
    }

    EXPECT_EQ(remove_access_rule(l, "HTTP://NEW/*"), 1);
    EXPECT_EQ(remove_access_rule(l, "http://new/*"), 0);
    EXPECT_EQ(patterns(l), (std::vector<std::string>{"http://b/*", "http://a/*", "http://c/*"}));
}

TEST(AccessList, MembersAndFirstMatch) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_GE(add_access_rule(l, "http://a/*", nullptr), 0);
    ASSERT_GE(add_access_rule(l, "*", nullptr), 0);
    EXPECT_EQ(add_access_member(l, "http://a/*", "012"), 1);
    EXPECT_EQ(add_access_member(l, "http://a/*", "900"), 1);
    EXPECT_EQ(add_access_member(l, "http://a/*", "012"), 1);  // added again
    EXPECT_STREQ(l.access[0].members, "012:900:012:");
    EXPECT_EQ(remove_access_member(l, "http://a/*", "012"), 1);
    EXPECT_STREQ(l.access[0].members, "900:012:");
    EXPECT_EQ(is_access_member(l, "http://a/*", "012"), 1);
    EXPECT_EQ(is_access_member(l, "http://a/*", "013"), 0);
    EXPECT_EQ(add_access_member(l, "nothing", "012"), 0);

    EXPECT_EQ(first_matching_access_rule(l, "http://a/x"), 0);
    EXPECT_EQ(first_matching_access_rule(l, "http://b/x"), 1);
    ASSERT_EQ(remove_access_rule(l, "*"), 1);
    EXPECT_EQ(first_matching_access_rule(l, "http://b/x"), kNotFound);
}

TEST(Wildcard, Table) {
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
    };
    const Case cases[] = {
        {"http://www.site.com/*", "http://www.site.com/", true},
        {"http://www.site.com/*", "http://WWW.SITE.COM/a/b/c.html", true},
        {"http://www.site.com/*", "http://www.site.org/", false},
        {"http://www.site.com/*", "http://www.site.co", false},
        {"*.gif", "http://a/b.gif", true},
        {"*.gif", "http://a/b.GIF", true},
        {"*.gif", "http://a/b.gif2", false},
        {"*.gif", "http://a.gif/b.html", false},
        // The extension also counts at the end when it occurs earlier too.
        {"*.gif", "http://a/b.gif.gif", true},
        {"*.exe", "http://x.exe.example/setup.exe", true},
        {"http://a/x", "HTTP://A/X", true},
        {"http://a/x", "http://a/x/", false},
        {"http://a/x", "http://a/", false},
        {"*", "", true},
        {"*", "anything", true},
        {"**", "anything", true},
        {"", "", true},
        {"", "x", false},
        {"*ad*", "http://ads.example/", true},
        {"*ad*", "http://example/", false},
        {"http://*/*.cgi", "http://host/bin/run.cgi", true},
        {"http://*/*.cgi", "http://host/bin/run.cgi/x", false},
        {"a*b*c", "abc", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "acb", false},
        {"a*a", "a", false},  // the end part may not reuse the start
        {"a*a", "aa", true},
        {"*a**b*", "xxaxxbxx", true},
        {"ab*", "a", false},
    };
    for (std::size_t r = 0; r < std::size(cases); ++r) {
        std::string pattern = cases[r].pattern;
        EXPECT_EQ(wildcard_match(pattern.c_str(), cases[r].text), cases[r].match) << "row " << r;
        EXPECT_EQ(pattern, cases[r].pattern) << "row " << r << " pattern changed";
    }
    EXPECT_FALSE(wildcard_match(nullptr, "x"));
    EXPECT_FALSE(wildcard_match("*", nullptr));
}

TEST(Ttl, TextFormsAndLookup) {
    ConfigLists l;
    reset_lists(l);
    struct Case {
        const char* text;
        bool ok;
    };
    const Case adds[] = {
        {"15@*.example.com/*", true}, {"5@*.com/*", true}, {"@*.gif", true},
        {"1x@*.png", false},          {"-3@*.png", false}, {"7", false},
        {"7@", false},                {"99999999999@*", false},
    };
    for (std::size_t r = 0; r < std::size(adds); ++r)
        EXPECT_EQ(add_ttl_from_text(l, adds[r].text) >= 0, adds[r].ok) << "row " << r;
    EXPECT_EQ(add_ttl(l, -1, "*"), kNotFound);
    EXPECT_EQ(add_ttl(l, 3, ""), kNotFound);
    ASSERT_EQ(l.ttls.size(), 3u);
    EXPECT_EQ(l.ttls[0].days, 0);
    EXPECT_STREQ(l.ttls[0].pattern, "*.gif");
    EXPECT_EQ(l.ttls[1].days, 5);
    EXPECT_EQ(l.ttls[2].days, 15);

    struct Lookup {
        const char* url;
        int kind;
        int days;
    };
    const Lookup lookups[] = {
        {"http://www.example.com/a", 0, 5},  // 5 beats 15
        {"http://x/pic.gif", 0, 0},
        {"http://x.org/", 0, 20},
        {"ftp://x.org/", 1, 30},
        {"gopher://x.org/", 2, 40},
        {"https://x.org/", 3, 20},
    };
    for (std::size_t r = 0; r < std::size(lookups); ++r) {
        EXPECT_EQ(ttl_for_url(l, lookups[r].url, lookups[r].kind, 20, 30, 40), lookups[r].days)
            << "row " << r;
    }

    EXPECT_EQ(remove_ttl_from_text(l, "5@*.COM/*"), 1);
    EXPECT_EQ(remove_ttl_from_text(l, "5@*.com/*"), 0);
    EXPECT_EQ(remove_ttl_from_text(l, "15@"), 1);  // empty pattern: any
    EXPECT_EQ(remove_ttl_from_text(l, "x@*.gif"), 0);
    ASSERT_EQ(l.ttls.size(), 1u);
    EXPECT_EQ(ttl_for_url(l, "http://www.example.com/a", 0, 20, 30, 40), 20);
}

TEST(Links, AddFindRemove) {
    ConfigLists l;
    reset_lists(l);
    EXPECT_EQ(add_link(l, 8080, "web.lan", 80, "TCP"), 0);
    EXPECT_EQ(add_link(l, 25, "mail.lan", 25, "TCP"), 0);  // sorted by local port
    EXPECT_EQ(add_link(l, 8080, "other", 81, "tcp"), kNotFound);
    EXPECT_EQ(add_link(l, 8080, "dns.lan", 53, "UDP"), 2);
    EXPECT_EQ(add_link(l, 0, "x", 1, "TCP"), kNotFound);
    EXPECT_EQ(add_link(l, 1, "x", 0, "TCP"), kNotFound);
    EXPECT_EQ(add_link(l, 1, "", 1, "TCP"), kNotFound);
    EXPECT_EQ(find_link(l, 8080), 1);
    EXPECT_EQ(find_link(l, 9), kNotFound);
    EXPECT_EQ(remove_link(l, "TCP 8080 web.lan:80"), 1);
    EXPECT_STREQ(l.links[1].protocol, "UDP");
    EXPECT_EQ(remove_link(l, "TCP8080"), 0);
    EXPECT_EQ(remove_link(l, "TCP x"), 0);
    EXPECT_EQ(remove_link(l, "UDP 7"), 0);
    EXPECT_EQ(l.links.size(), 2u);
}

TEST(IpList, Forms) {
    struct Case {
        const char* text;
        bool ok;
        const char* stored;
        std::uint32_t start, end;
    };
    const Case cases[] = {
        {"192.168.1.7", true, "192.168.1.7", 0xC0A80107u, 0xC0A80107u},
        {"10.0.0.0/8", true, "10.0.0.0-10.255.255.255", 0x0A000000u, 0x0AFFFFFFu},
        {"10.0.0.5/30", true, "10.0.0.5-10.0.0.8", 0x0A000005u, 0x0A000008u},  // not aligned
        {"1.2.3.4/32", true, "1.2.3.4-1.2.3.4", 0x01020304u, 0x01020304u},
        {"0.0.0.0/1", true, "0.0.0.0-127.255.255.255", 0u, 0x7FFFFFFFu},
        {"0.0.0.0-255.255.255.255", true, "0.0.0.0-255.255.255.255", 0u, 0xFFFFFFFFu},
        {"255.255.255.255", true, "255.255.255.255", 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"1.2.3.9-1.2.3.4", false, nullptr, 0, 0},
        {"1.2.3", false, nullptr, 0, 0},
        {"1.2.3-1.2.3.4", false, nullptr, 0, 0},
        {"1.2.3.4/0", false, nullptr, 0, 0},
        {"1.2.3.4/33", false, nullptr, 0, 0},
        {"1.2.3.4/", false, nullptr, 0, 0},
        {"200.0.0.0/1", false, nullptr, 0, 0},  // would run past 255.255.255.255
        {"1.2.3.256", false, nullptr, 0, 0},
        {"1.2.3.4.5", false, nullptr, 0, 0},
        {"1.2..4", false, nullptr, 0, 0},
        {"a.b.c.d", false, nullptr, 0, 0},
        {"0x1.2.3.4", false, nullptr, 0, 0},
        {" 1.2.3.4", false, nullptr, 0, 0},
        {"", false, nullptr, 0, 0},
    };
    for (std::size_t r = 0; r < std::size(cases); ++r) {
        ConfigLists l;
        reset_lists(l);
        const int i = add_ip_entry(l, cases[r].text);
        ASSERT_EQ(i >= 0, cases[r].ok) << "row " << r;
        if (!cases[r].ok) continue;
        const IpEntry& e = l.ips[static_cast<std::size_t>(i)];
        EXPECT_STREQ(e.text, cases[r].stored) << "row " << r;
        EXPECT_EQ(e.start, cases[r].start) << "row " << r;
        EXPECT_EQ(e.end, cases[r].end) << "row " << r;
    }
}

TEST(IpList, DuplicatesAndRemoval) {
    ConfigLists l;
    reset_lists(l);
    EXPECT_GE(add_ip_entry(l, "10.0.0.0/8"), 0);
    EXPECT_EQ(add_ip_entry(l, "10.0.0.0-10.255.255.255"), kNotFound);  // same stored text
    EXPECT_GE(add_ip_entry(l, "10.0.0.0-10.255.255.254"), 0);
    EXPECT_EQ(remove_ip_entry(l, "10.0.0.0-10.255.255.255"), 1);
    EXPECT_EQ(remove_ip_entry(l, "10.0.0.0-10.255.255.255"), 0);
    EXPECT_EQ(l.ips.size(), 1u);
}

Pop3Account account(const char* user, const char* server, const char* email, const char* local) {
    Pop3Account a{};
    std::snprintf(a.RemotePOP3User, sizeof a.RemotePOP3User, "%s", user);
    std::snprintf(a.RemotePOP3Server, sizeof a.RemotePOP3Server, "%s", server);
    std::snprintf(a.EMailAddress, sizeof a.EMailAddress, "%s", email);
    std::snprintf(a.Password, sizeof a.Password, "pw");
    std::snprintf(a.KorvanetAccount, sizeof a.KorvanetAccount, "%s", local);
    return a;
}

TEST(Pop3, FindAndRemove) {
    ConfigLists l;
    reset_lists(l);
    EXPECT_EQ(insert_pop3_account(l, account("zed", "pop.a", "zed@a", "zz")), 0);
    EXPECT_EQ(insert_pop3_account(l, account("joe", "isp@b", "joe@b", "jj")), 0);
    EXPECT_EQ(insert_pop3_account(l, account("Amy", "pop.c", "amy@c", "{ RULE }")), 0);

    EXPECT_EQ(find_pop3_account(l, "JOE", "ISP@B"), 1);
    EXPECT_EQ(find_pop3_account(l, "", "pop.c"), 0);
    EXPECT_EQ(find_pop3_account(l, "zed", ""), 2);
    EXPECT_EQ(find_pop3_account(l, "zed", "pop.c"), kNotFound);

    // Split at the first at-sign: the server keeps the second.
    EXPECT_EQ(remove_pop3_account(l, "joe@isp@b"), 1);
    EXPECT_EQ(remove_pop3_account(l, "joeisp"), 0);
    EXPECT_EQ(remove_pop3_account_by_item(l, "@", "AMY@C"), 0);  // e-mail with case
    EXPECT_EQ(remove_pop3_account_by_item(l, "@", "amy@c"), 1);
    EXPECT_EQ(remove_pop3_account_by_local(l, "ZZ"), 0);
    EXPECT_EQ(remove_pop3_account_by_local(l, "zz"), 1);
    EXPECT_TRUE(l.pop3.empty());
    EXPECT_EQ(insert_pop3_account(l, account("zed", "pop.a", "zed@a", "zz")), 0);
    EXPECT_EQ(remove_pop3_account_by_item(l, "zed@pop.a", "ignored"), 1);
}

TEST(SortRules, CatchAllLastAndMatch) {
    ConfigLists l;
    reset_lists(l);
    EXPECT_GE(add_sort_rule(l, "@", "postmaster"), 0);
    EXPECT_GE(add_sort_rule(l, "sales@", "ann"), 0);
    EXPECT_GE(add_sort_rule(l, "@Example.org", "ben"), 0);
    EXPECT_GE(add_sort_rule(l, "#x", "cy"), 0);  // '#' sorts before '@', still before it
    EXPECT_EQ(add_sort_rule(l, "SALES@", "dup"), kNotFound);
    EXPECT_EQ(add_sort_rule(l, "", "x"), kNotFound);
    EXPECT_EQ(add_sort_rule(l, "x", ""), kNotFound);
    ASSERT_EQ(l.rules.size(), 4u);
    EXPECT_STREQ(l.rules[0].HeaderTo, "#x");
    EXPECT_STREQ(l.rules[1].HeaderTo, "@Example.org");
    EXPECT_STREQ(l.rules[2].HeaderTo, "sales@");
    EXPECT_STREQ(l.rules[3].HeaderTo, "@");

    struct Case {
        const char* address;
        int rule;
    };
    const Case cases[] = {
        {"Sales@shop.net", 2},   {"joe@EXAMPLE.ORG", 1}, {"joe@other.net", 3},
        {"no at sign", kNotFound}, {"", kNotFound},
    };
    for (std::size_t r = 0; r < std::size(cases); ++r)
        EXPECT_EQ(match_sort_rule(l, cases[r].address), cases[r].rule) << "row " << r;

    EXPECT_EQ(remove_sort_rule(l, "@EXAMPLE.ORG"), 1);
    EXPECT_EQ(remove_sort_rule_by_local(l, "Ann"), 0);
    EXPECT_EQ(remove_sort_rule_by_local(l, "ann"), 1);
    EXPECT_EQ(match_sort_rule(l, "Sales@shop.net"), 1);
}

TEST(Dumps, ExactTexts) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_GE(add_group(l, "staff"), 0);
    ASSERT_GE(add_user(l, "alice", "secret"), 0);
    ASSERT_EQ(add_to_group(l, "alice", "staff"), 1);
    ASSERT_GE(add_access_rule(l, "*", nullptr), 0);
    ASSERT_EQ(add_access_member(l, "*", "900"), 1);
    const std::string long_pattern = "http://" + std::string(240, 'p') + "/*";
    ASSERT_GE(add_access_rule(l, long_pattern.c_str(), nullptr), 0);
    ASSERT_EQ(insert_pop3_account(l, account("joe", "isp", "joe@isp", "alice")), 0);

    platform::Socket ours, peer;
    kv::test::unix_pair(ours, peer);
    dump_users(l, ours.get());
    EXPECT_EQ(read_available(peer),
              "--------- DUMPING : User List -------\n"
              "000 : alice : 50a87ecfb217aeb95fc7215e4bcbeda8 : 901:\n");
    dump_groups(l, ours.get());
    EXPECT_EQ(read_available(peer),
              "--------- DUMPING : Group List -------\n900 : Admins\n901 : staff\n \n");
    dump_access(l, ours.get());
    EXPECT_EQ(read_available(peer),
              "--------- DUMPING : Access List -------\n* : 900:\n" + long_pattern + " : \n");
    dump_pop3(l, ours.get());
    EXPECT_EQ(read_available(peer),
              "--------- DUMPING : mail List -------\n0 joe isp joe@isp pw alice\n");
}

TEST(Reset, EmptiesAndRecreatesAdmins) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_GE(add_user(l, "a", "b"), 0);
    ASSERT_GE(add_group(l, "g"), 0);
    ASSERT_GE(add_ip_entry(l, "1.2.3.4"), 0);
    reset_lists(l);
    EXPECT_TRUE(l.users.empty());
    EXPECT_TRUE(l.ips.empty());
    ASSERT_EQ(l.groups.size(), 1u);
    EXPECT_STREQ(l.groups[0].name, "Admins");
    EXPECT_STREQ(l.groups[0].id, "900");
}

}  // namespace
}  // namespace kv::config
