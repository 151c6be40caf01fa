#include "config/access_control.h"

#include "tests/unit/config/list_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kv::config {
namespace {

TEST(Socks, AccessCheck) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_GE(add_user(l, "alice", "secret"), 0);
    ASSERT_GE(add_access_rule(l, "socks://10.0.0.1:*", nullptr), 0);
    EXPECT_EQ(socks_access(l, "10.0.0.1", 25, nullptr, nullptr), 1);  // no user: no check
    EXPECT_EQ(socks_access(l, "10.0.0.1", 25, "", nullptr), 1);
    EXPECT_EQ(socks_access(l, "10.0.0.1", 25, "alice", "secret"), 0);
    EXPECT_EQ(socks_access(l, "10.0.0.2", 25, "alice", "secret"), 1);
    ASSERT_EQ(add_access_member(l, "socks://10.0.0.1:*", "000"), 1);
    EXPECT_EQ(socks_access(l, "10.0.0.1", 25, "alice", "secret"), 1);
    EXPECT_EQ(socks_access(l, "10.0.0.1", 25, "alice", "wrong"), 0);
}

TEST(AllowedIp, Table) {
    ConfigLists l;
    reset_lists(l);
    EXPECT_EQ(address_allowed(l, "8.8.8.8"), 1);  // empty list allows all
    ASSERT_GE(add_ip_entry(l, "192.168.0.0/16"), 0);
    ASSERT_GE(add_ip_entry(l, "10.0.0.7"), 0);
    ASSERT_GE(add_ip_entry(l, "255.255.255.250-255.255.255.255"), 0);
    struct Case {
        const char* address;
        int allowed;
    };
    const Case cases[] = {
        {"127.0.0.1", 1},       {"127.0.0.2", 0},       {"192.168.0.0", 1},
        {"192.168.255.255", 1}, {"192.169.0.0", 0},     {"192.167.255.255", 0},
        {"10.0.0.7", 1},        {"10.0.0.8", 0},        {"255.255.255.255", 1},
        {"255.255.255.249", 0}, {"garbage", 0},         {"", 0},
        {"192.168.1", 0},
    };
    for (std::size_t r = 0; r < std::size(cases); ++r)
        EXPECT_EQ(address_allowed(l, cases[r].address), cases[r].allowed) << "row " << r;
}

// Changes under way while connection threads decide: must be clean under TSan.
// The user is found by name with case among many, the first of equal names
// wins, and a name is compared on its first 128 characters: the password
// tells which record answered (wrong password: "Invalid password.", unknown
// user: "You are not valid Korvanet user", the right one: the rule refuses).
TEST(AccessDecision, UserLookupAmongManyUsers) {
    ConfigLists l;
    reset_lists(l);
    auto user = [&](const std::string& name, const char* password) {
        UserRecord r{};
        std::snprintf(r.id, sizeof r.id, "%03d", static_cast<int>(l.users.size() % 900));
        std::snprintf(r.name, sizeof r.name, "%s", name.c_str());
        password_digest(r.name, password, r.digest);
        ASSERT_GE(insert_user_record(l, r), 0);
    };
    for (int i = 1999; i >= 0; --i) user("u" + std::to_string(i), ("p" + std::to_string(i)).c_str());
    user("bob", "lower");
    user("Bob", "upper-b");
    user("BOB", "upper");
    user("dup", "one");
    user("dup", "two");
    user("DUP", "three");
    const std::string long_name(128, 'L');
    user(long_name, "long");
    ASSERT_GE(add_access_rule(l, "*", nullptr), 0);

    const std::string not_in_list = "You are not in the access list for URL(s) :<br><b>*</b>";
    const std::string bad_password = "Invalid password.";
    const std::string unknown = "You are not valid Korvanet user";
    const struct {
        std::string name;
        const char* password;
        const std::string& reason;
    } cases[] = {
        {"bob", "lower", not_in_list},      {"bob", "upper", bad_password},
        {"Bob", "upper-b", not_in_list},    {"BOB", "upper", not_in_list},
        {"bOb", "lower", unknown},          {"bo", "lower", unknown},
        {"bobb", "lower", unknown},         {"dup", "one", not_in_list},
        {"dup", "two", bad_password},       {"DUP", "three", not_in_list},
        {"u0", "p0", not_in_list},          {"u1999", "p1999", not_in_list},
        {"u1000", "p1000", not_in_list},    {"u10", "p1", bad_password},
        {"u2000", "p2000", unknown},        {"U5", "p5", unknown},
        {long_name, "long", not_in_list},   {long_name + "tail", "long", not_in_list},
        {long_name.substr(1), "long", unknown}, {"", "x", unknown},
        {"!", "!", unknown},
    };
    for (const auto& c : cases) {
        char url[512] = "http://site/page";
        EXPECT_EQ(access_decision(l, url, sizeof url, c.name.c_str(), c.password), 0) << c.name;
        EXPECT_EQ(std::string(url), c.reason) << c.name << " / " << c.password;
    }
}

TEST(Concurrency, DecisionsWhileAdministering) {
    ConfigLists l;
    admins_only(l);
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 20000 && !stop.load(); ++i) {
                char url[256] = "http://site/page";
                (void)access_decision(l, url, sizeof url, "alice", "secret");
                (void)address_allowed(l, "10.1.2.3");
                (void)check_password(l, "admin", "pw");
                (void)ttl_for_url(l, "http://site/page", 0, 1, 2, 3);
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "u%d", i % 7);
        (void)add_user(l, name, "x");
        (void)add_to_group(l, name, "Admins");
        (void)add_access_rule(l, "http://site/*", "*");
        (void)add_access_member(l, "http://site/*", "000");
        (void)add_ip_entry(l, "10.0.0.0/8");
        (void)add_ttl(l, i % 5, "*");
        (void)remove_access_rule(l, "http://site/*");
        (void)remove_ip_entry(l, "10.0.0.0-10.255.255.255");
        (void)remove_ttl_from_text(l, "0@");
        if (i % 2) (void)remove_user(l, name);
    }
    stop = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(find_user(l, "admin") >= 0, true);
}

}  // namespace
}  // namespace kv::config
