#include "config/access_control.h"

#include "platform/socket.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kv::config {
namespace {

constexpr const char* k403Head =
    "HTTP/1.0 403 Forbidden\r\nPragma: no-cache\r\nContent-Type: text/html\r\n\r\n"
    "<body><H2> <font color=\"ee0000\">Forbidden </font></H2><HR>";
constexpr const char* k407 =
    "HTTP/1.0 407 Unauthorized\r\nProxy-Authenticate: Basic realm=\"Korvanet\"\r\n"
    "Content-Type: text/html\r\n\r\n";
constexpr const char* k401 =
    "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Korvanet\"\r\n"
    "Content-Type: text/html\r\n\r\n";

std::string refused_page(const std::string& user, const std::string& url,
                         const std::string& reason) {
    return std::string(k403Head) + "You (user <font color=\"#0000ee\"><b>" + user +
           "</b></font>) are not allowed to access<br><B>" + url +
           "</B><br>due to Korvanet access configuration rule.<p>The reason : <br> " + reason;
}

struct Outcome {
    int result;
    std::string sent;
    std::string user;
};

// Runs the proxy authentication for one request and collects the answer.
Outcome authenticate(const ConfigLists& l, const char* scheme, const char* host, const char* path,
                     const char* credentials, bool with_version = true) {
    platform::Socket ours, peer;
    kv::test::unix_pair(ours, peer);
    char user[kAuthUserSize] = "";
    const std::string header = credentials ? credentials : "";
    AuthRequest r{};
    r.scheme = scheme;
    r.host = host;
    r.path = path;
    r.version = with_version ? "HTTP/1.0" : nullptr;
    r.proxy_authorization = with_version && credentials ? header.c_str() : nullptr;
    r.authorization = !with_version && credentials ? header.c_str() : nullptr;
    r.client_fd = ours.get();
    r.user_out = user;
    Outcome o;
    o.result = proxy_authenticate(l, r);
    o.sent = kv::test::read_available(peer);
    o.user = user;
    return o;
}

// Users alice (secret, plain), admin (pw, Admins), a rule "*" for Admins only.
void admins_only(ConfigLists& l) {
    reset_lists(l);
    ASSERT_GE(add_user(l, "alice", "secret"), 0);
    ASSERT_GE(add_user(l, "admin", "pw"), 0);
    ASSERT_EQ(add_to_group(l, "admin", "Admins"), 1);
    ASSERT_GE(add_access_rule(l, "*", nullptr), 0);
    ASSERT_EQ(add_access_member(l, "*", kAdminsGroupId), 1);
}

TEST(ProxyAuth, NoUsersNoRulesAllPass) {
    ConfigLists l;
    reset_lists(l);
    const Outcome a = authenticate(l, "http", "site", "/x", nullptr);
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.sent, "");
    const Outcome b = authenticate(l, "http", "site", "/x", "Basic Z2hvc3Q6eA==");  // ghost:x
    EXPECT_EQ(b.result, 1);
    EXPECT_EQ(b.user, "ghost");
}

TEST(ProxyAuth, AnswersTable) {
    ConfigLists l;
    admins_only(l);
    const std::string not_listed =
        refused_page("alice", "http://site/x?q=1", "You are not in the access list for URL(s) :<br><b>*</b>");
    struct Case {
        const char* credentials;
        bool with_version;
        int result;
        std::string sent;
        const char* user;
    };
    const Case cases[] = {
        {nullptr, true, 0, k407, ""},                                     // anonymous
        {"Basic YWxpY2U6c2VjcmV0", true, 0, not_listed, "alice"},         // alice:secret
        {"Basic YWxpY2U6d3Jvbmc=", true, 0, k407, "alice"},               // wrong password
        {"Basic YWRtaW46cHc=", true, 1, "", "admin"},                     // admin:pw
        {"Basic Z2hvc3Q6eA==", true, 0,                                   // ghost:x
         refused_page("ghost", "http://site/x?q=1", "You are not valid Korvanet user"), "ghost"},
        {nullptr, false, 0, k401, ""},                                    // no version: 401
        {"Basic YWxpY2U6d3Jvbmc=", false, 0, k401, "alice"},
        {"BasicYWxpY2U6c2VjcmV0", true, 0, "", ""},                       // no space
        {"Basic bm9Db2xvbkhlcmU=", true, 0, "", ""},                      // no ':' decoded
        {"Anything YWRtaW46cHc=", true, 1, "", "admin"},                  // scheme word not read
    };
    for (std::size_t r = 0; r < std::size(cases); ++r) {
        const Outcome o = authenticate(l, "http", "site", "/x?q=1", cases[r].credentials,
                                       cases[r].with_version);
        EXPECT_EQ(o.result, cases[r].result) << "row " << r;
        EXPECT_EQ(o.sent, cases[r].sent) << "row " << r;
        EXPECT_EQ(o.user, cases[r].user) << "row " << r;
    }
}

TEST(ProxyAuth, NobodyMemberForbidsAnonymous) {
    ConfigLists l;
    admins_only(l);
    const int nobody = add_user(l, "nobody", "");
    ASSERT_GE(nobody, 0);
    const std::string id = l.users[static_cast<std::size_t>(nobody)].id;
    ASSERT_EQ(add_access_member(l, "*", id.c_str()), 1);
    const Outcome anon = authenticate(l, "http", "site", "/x", nullptr);
    EXPECT_EQ(anon.result, 0);
    EXPECT_EQ(anon.sent, std::string(k403Head) + "You are not allowed to access this site.<br><B>");
    // A known user outside the members still gets the access-list reason.
    const Outcome alice = authenticate(l, "http", "site", "/x", "Basic YWxpY2U6c2VjcmV0");
    EXPECT_EQ(alice.sent, refused_page("alice", "http://site/x",
                                       "You are not in the access list for URL(s) :<br><b>*</b>"));
}

TEST(ProxyAuth, LongPageNotCutAndMarkupEscaped) {
    ConfigLists l;
    admins_only(l);
    const std::string path = "/" + std::string(600, 'a') + "<script>";
    const Outcome o = authenticate(l, "http", "site", path.c_str(), "Basic YWxpY2U6c2VjcmV0");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.sent, refused_page("alice", "http://site/" + std::string(600, 'a') + "&lt;script&gt;",
                                   "You are not in the access list for URL(s) :<br><b>*</b>"));
}

TEST(ProxyAuth, UserNameKeptToTwentyNineCharacters) {
    ConfigLists l;
    reset_lists(l);
    // "abcdefghijklmnopqrstuvwxyz0123456789:p"
    const Outcome o = authenticate(l, "http", "site", "/", "Basic YWJjZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXowMTIzNDU2Nzg5OnA=");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.user, "abcdefghijklmnopqrstuvwxyz012");
}

TEST(AccessDecision, RulesAndReasons) {
    ConfigLists l;
    reset_lists(l);
    ASSERT_GE(add_user(l, "alice", "secret"), 0);  // 000
    ASSERT_GE(add_user(l, "bob", "pw"), 0);        // 001
    ASSERT_GE(add_group(l, "staff"), 0);           // 901
    ASSERT_EQ(add_to_group(l, "bob", "staff"), 1);
    ASSERT_GE(add_access_rule(l, "http://shop/*", nullptr), 0);
    ASSERT_EQ(add_access_member(l, "http://shop/*", "000"), 1);
    ASSERT_GE(add_access_rule(l, "http://staff/*", nullptr), 0);
    ASSERT_EQ(add_access_member(l, "http://staff/*", "901"), 1);
    ASSERT_GE(add_access_rule(l, "http://q/*?*", nullptr), 0);
    ASSERT_GE(add_access_rule(l, "http://port:8080/*", nullptr), 0);

    struct Case {
        const char* url;
        const char* user;
        const char* password;
        int result;
        const char* reason;  // checked when refused
    };
    const Case cases[] = {
        {"http://shop/a", "alice", "secret", 1, ""},
        {"http://shop/a", "bob", "pw", 0, "You are not in the access list for URL(s) :<br><b>http://shop/*</b>"},
        {"http://staff/a", "bob", "pw", 1, ""},      // through the group
        {"http://staff/a", "alice", "secret", 0,
         "You are not in the access list for URL(s) :<br><b>http://staff/*</b>"},
        {"http://open/a", "alice", "bad", 0, "Invalid password."},
        {"http://open/a", "!", "!", 1, ""},
        {"http://shop/a", "!", "!", 0, "You are not valid Korvanet user"},
        {"", "alice", "secret", 0, ""},
        {"http://shop/a", nullptr, "x", 0, ""},
    };
    for (std::size_t r = 0; r < std::size(cases); ++r) {
        char url[512];
        std::snprintf(url, sizeof url, "%s", cases[r].url);
        EXPECT_EQ(access_decision(l, url, sizeof url, cases[r].user, cases[r].password),
                  cases[r].result)
            << "row " << r;
        if (!cases[r].result) {
            EXPECT_STREQ(url, cases[r].reason) << "row " << r;
        }
    }

    // The proxy URL carries neither query nor port, so such rules never apply.
    EXPECT_EQ(authenticate(l, "http", "q", "/a?b", nullptr).result, 1);
    EXPECT_EQ(authenticate(l, "http", "port", "/a", nullptr).result, 1);
    EXPECT_EQ(authenticate(l, "http", "shop", "/a?b", nullptr).sent, k407);
}

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
