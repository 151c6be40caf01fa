#include "admin/admin_router.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace kv::admin {
namespace {

std::unique_ptr<AdminRequest> request_of(const char* text) {
    auto r = std::make_unique<AdminRequest>();
    std::strncpy(r->request, text, kAdminRequestSize);
    return r;
}

TEST(AdminRouter, ParseRequest) {
    struct Case {
        const char* text;
        int result;
        const char* path;
        const char* auth;  // null: no credentials
        int msie;
    };
    const Case kCases[] = {
        {"GET /admin HTTP/1.0\r\n\r\n", 1, "/admin", nullptr, 0},
        {"GET /admin/status?x HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (MSIE 5.0)\r\n\r\n", 1, "/admin/status?x",
         nullptr, 1},
        {"GET /admin/user HTTP/1.0\r\nAuthorization: Basic YTpi\r\n\r\n", 1, "/admin/user", "Basic YTpi", 0},
        // No carriage return after the value: no credentials.
        {"GET /admin/user HTTP/1.0\r\nAuthorization: Basic YTpi\n\r\n\r\n", 1, "/admin/user", nullptr, 0},
        // Only a header named Authorization counts.
        {"GET /x HTTP/1.0\r\nProxy-Authorization: Basic YTpi\r\n\r\n", 1, "/x", nullptr, 0},
        {"GET /Authorization:x HTTP/1.0\r\n\r\n", 1, "/Authorization:x", nullptr, 0},
        {"GET /x HTTP/1.0\r\nHost: a\r\nAuthorization:Basic YTpi\r\n\r\n", 1, "/x", "Basic YTpi", 0},
        // Either blank missing from the request line: refused, even when a
        // header line has blanks.
        {"GET /admin\r\n\r\n", 0, nullptr, nullptr, 0},
        {"GET /admin\r\nUser-Agent: a b\r\n\r\n", 0, nullptr, nullptr, 0},
        {"GET\r\n\r\n", 0, nullptr, nullptr, 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        auto r = request_of(kCases[i].text);
        ASSERT_EQ(parse_request(*r), kCases[i].result) << "row " << i;
        if (!kCases[i].result) continue;
        EXPECT_STREQ(r->path, kCases[i].path) << "row " << i;
        EXPECT_EQ(r->is_msie, kCases[i].msie) << "row " << i;
        EXPECT_EQ(r->auth_present, kCases[i].auth != nullptr) << "row " << i;
        if (kCases[i].auth) {
            EXPECT_STREQ(r->auth_value, kCases[i].auth) << "row " << i;
        }
    }
}

TEST(AdminRouter, FindRoute) {
    struct Case {
        const char* path;
        const char* route;  // null: Not Found
        int prefix;
        int open;
    };
    const Case kCases[] = {
        {"/admin", "/admin", 0, 1},
        {"/admin/", "/admin", 0, 1},        // seven characters: the last one goes
        {"/admin?", "/admin", 0, 1},
        {"/admin/main", "/admin/main", 0, 1},
        {"/admin/images/dir.gif", "/admin/images/", 0, 1},
        {"/admin/images/background.gif", "/admin/images/", 0, 1},
        {"/admin/images/none.gif", nullptr, 0, 0},
        {"/autoconfig", "/autoconfig", 0, 1},
        {"/admin/reauth", "/admin/reauth", 0, 1},
        {"/admin/status", "/admin/status", 0, 0},
        {"/admin/status?x", nullptr, 0, 0},  // exact: the query string counts
        {"/admin/password?old_password=a", "/admin/password", 1, 0},
        {"/admin/content", "/admin/content", 0, 0},
        {"/admin/content/www.example.org", "/admin/content", 1, 0},
        {"/admin/logs", "/admin/logs", 0, 0},
        {"/admin/logs/security", "/admin/logs/security", 0, 0},
        {"/admin/logs/other", nullptr, 0, 0},
        {"/admin/clearlog?button=+Clear+", "/admin/clearlog", 1, 0},
        {"/admin/clearalllog", "/admin/clearalllog", 1, 0},
        {"/admin/kill/12", "/admin/kill/", 1, 0},
        {"/java/in", "/java/in", 0, 0},
        {"/admin/dial/dial?connect=+Dial+to", "/admin/dial/dial", 1, 0},
        {"/admin/mail?ViewQueue=View+Queue", "/admin/mail", 1, 0},
        {"/admin/config/index", "/admin/config", 1, 0},
        {"/admin/test2", "/admin/test2", 0, 0},
        {"/admin/dump", "/admin/dump", 0, 0},
        {"/admin/other", nullptr, 0, 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const int index = find_route(kCases[i].path);
        if (!kCases[i].route) {
            EXPECT_EQ(index, -1) << "row " << i;
            continue;
        }
        ASSERT_GE(index, 0) << "row " << i;
        const RouteInfo info = route_info(index);
        EXPECT_STREQ(info.text, kCases[i].route) << "row " << i;
        EXPECT_EQ(info.prefix, kCases[i].prefix) << "row " << i;
        EXPECT_EQ(info.open, kCases[i].open) << "row " << i;
    }
    EXPECT_EQ(find_route("/"), -2);
    EXPECT_EQ(find_route("*"), -2);
    // Every open route comes before every protected one.
    bool seen_protected = false;
    for (int i = 0; route_info(i).text[0]; ++i) {
        if (!route_info(i).open) {
            seen_protected = true;
        } else {
            EXPECT_FALSE(seen_protected) << "route " << i;
        }
    }
}

}  // namespace
}  // namespace kv::admin
