// The proxy's answers to refused requests: the access decision of the lists,
// then the page the proxy sends for it.
#include "proxy/error_pages.h"

#include <gtest/gtest.h>

#include <string>

#include "config/config_lists.h"
#include "platform/socket.h"
#include "tests/unit/config/list_fixtures.h"
#include "tests/unit/test_support.h"

namespace kv::proxy {
namespace {

using namespace kv::config;

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
    r.user_out = user;
    Outcome o;
    AuthOutcome why;
    o.result = proxy_authenticate(l, r, &why);
    if (!o.result) send_refusal(ours.get(), why, scheme, host, path);
    o.sent = kv::test::read_available(peer);
    o.user = user;
    return o;
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

}  // namespace
}  // namespace kv::proxy
