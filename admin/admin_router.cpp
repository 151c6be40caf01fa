// Reading the admin request's head, and the route table that maps its path to
// a page. The table is walked in order; the routes before the authentication
// step are open to every client that passed the accept checks.
#include "admin/admin_router.h"

#include <cstring>
#include <string>

#include "admin/admin_frames.h"
#include "admin/admin_pages.h"
#include "admin/config_pages.h"
#include "admin/embedded_images.h"
#include "config/access_control.h"
#include "config/settings.h"
#include "net/base64.h"
#include "net/page_writer.h"
#include "platform/bounded_text.h"
#include "proxy/error_pages.h"

namespace kv::admin {
namespace {

constexpr std::size_t kFoldedPathLength = 7;  // "/admin/" is taken as "/admin"
constexpr std::size_t kUserKept = 29;
constexpr const char* kImagesPrefix = "/admin/images/";
constexpr const char* kConfigPrefix = "/admin/config";
constexpr const char* kAuthorizationName = "Authorization";
constexpr const char* kRedirectToAdmin = "HTTP/1.0 301 Moved Permanently\r\nLocation: /admin\r\n\r\n";

enum Kind { kExact, kPrefix, kImage, kConfigGroup };

using RouteFn = int (*)(AdminRequest&, const char* text);

struct Route {
    const char* text;
    Kind kind;
    int open;
    RouteFn run;
};

// Pages that take no argument.
template <int (*Page)(AdminRequest&)>
int page(AdminRequest& r, const char*) { return Page(r); }

int log_page(AdminRequest& r, const char* text) {
    return log_view(r, text + std::strlen("/admin/logs/"));
}
int clear_page(AdminRequest& r, const char* text) { return clear_logs(r, text); }
int config_group(AdminRequest& r, const char*) { return config_route(r); }

const Route kRoutes[] = {
    {"/admin", kExact, 1, page<main_frameset>},
    {"/admin/index", kExact, 1, page<menu_frame>},
    {"/admin/main", kExact, 1, page<welcome_page>},
    {kImagesPrefix, kImage, 1, page<image_answer>},
    {"/autoconfig", kExact, 1, page<autoconfig_file>},
    {"/admin/reauth", kExact, 1, page<reauth_answer>},
    // Everything below is reached only by an authenticated request.
    {"/admin/user", kExact, 0, page<user_page>},
    {"/admin/password", kPrefix, 0, page<password_change>},
    {"/admin/content", kExact, 0, page<cache_domains_page>},
    {"/admin/content", kPrefix, 0, page<cache_objects_page>},
    {"/admin/delete/domain/", kPrefix, 0, page<delete_domain>},
    {"/admin/delete/file/", kPrefix, 0, page<delete_object>},
    {"/admin/logs", kExact, 0, page<logs_frameset>},
    {"/admin/logs/index", kExact, 0, page<logs_tab_bar>},
    {"/admin/logs/nic", kExact, 0, page<logs_empty_window>},
    {"/admin/logs/access", kExact, 0, log_page},
    {"/admin/logs/error", kExact, 0, log_page},
    {"/admin/logs/mail", kExact, 0, log_page},
    {"/admin/logs/dial", kExact, 0, log_page},
    {"/admin/logs/security", kExact, 0, log_page},
    {"/admin/clearalllog", kPrefix, 0, clear_page},
    {"/admin/clearlog", kPrefix, 0, clear_page},
    {"/admin/clearmaillog", kPrefix, 0, clear_page},
    {"/admin/clearsecuritylog", kPrefix, 0, clear_page},
    {"/admin/clearerrorlog", kPrefix, 0, clear_page},
    {"/admin/cleardiallog", kPrefix, 0, clear_page},
    {"/admin/kill/", kPrefix, 0, page<kill_connection>},
    {"/admin/status", kExact, 0, page<status_page>},
    {"/java/in", kExact, 0, page<settings_stream>},
    {"/admin/manual", kExact, 0, page<manual_page>},
    {"/admin/dial/dial", kPrefix, 0, page<dial_page>},
    {"/admin/mail", kPrefix, 0, page<mail_page>},
    {"/admin/udp", kExact, 0, page<udp_diagnostic>},
    // The configuration pages match their own routes and decline the rest.
    {kConfigPrefix, kConfigGroup, 0, config_group},
    {"/admin/test2", kExact, 0, page<test2_answer>},
    {"/admin/dump", kExact, 0, page<lists_dump>},
};
constexpr int kRouteCount = static_cast<int>(std::size(kRoutes));

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool matches(const Route& route, const char* path) {
    switch (route.kind) {
    case kExact: return std::strcmp(path, route.text) == 0;
    case kPrefix:
    case kConfigGroup: return starts_with(path, route.text);
    case kImage: return starts_with(path, route.text) && find_image(path + std::strlen(route.text)) != nullptr;
    }
    return false;
}

// The user and password of Basic credentials, kept for the pages.
void decode_credentials(AdminRequest& r) {
    r.user[0] = '\0';
    r.password[0] = '\0';
    if (!r.auth_present || !r.auth_value) return;
    const char* space = std::strchr(r.auth_value, ' ');
    if (!space) return;
    char* decoded = r.conn.work;
    net::base64_decode(space + 1, decoded, sizeof r.conn.work);
    char* colon = std::strchr(decoded, ':');
    if (!colon) return;
    *colon = '\0';
    platform::copy_bounded(r.user, decoded, kUserKept + 1);
    platform::copy_bounded(r.password, colon + 1);
}

// The access decision for "http://Korvanet" + path (without its query), with
// the Authorization credentials. On refusal the answer has been sent.
int authenticate(AdminRequest& r) {
    decode_credentials(r);
    const std::string path(r.path, std::strcspn(r.path, "?"));
    config::AuthRequest a{};
    a.scheme = r.scheme;
    a.host = r.host;
    a.path = path.c_str();
    a.version = nullptr;  // not a proxy request: the Authorization header counts
    a.proxy_authorization = nullptr;
    a.authorization = r.auth_present ? r.auth_value : nullptr;
    a.user_out = r.user;
    config::AuthOutcome why;
    if (config::proxy_authenticate(config::live().lists, a, &why)) return 1;
    proxy::send_refusal(r.conn.client.get(), why, a.scheme, a.host, a.path);
    return 0;
}

// Start of the header line named exactly "Authorization" (at a line start, so
// neither Proxy-Authorization nor a value or the path can stand in for it).
char* find_authorization(char* headers) {
    const std::size_t n = std::strlen(kAuthorizationName);
    for (char* line = headers; line && *line;) {
        if (std::strncmp(line, kAuthorizationName, n) == 0 && (line[n] == ':' || line[n] == ' ')) return line;
        line = std::strchr(line, '\n');
        if (line) ++line;
    }
    return nullptr;
}

}  // namespace

int parse_request(AdminRequest& r) {
    char* text = r.request;
    r.is_msie = std::strstr(text, "MSIE") != nullptr;
    // Both blanks must lie in the request line: a blank of a header line must
    // not turn the headers into part of the path.
    const std::size_t line_length = std::strcspn(text, "\r\n");
    char* first = static_cast<char*>(std::memchr(text, ' ', line_length));
    if (!first) return 0;
    char* path = first + 1;
    char* second = static_cast<char*>(std::memchr(path, ' ', line_length - static_cast<std::size_t>(path - text)));
    if (!second) return 0;
    *second = '\0';
    r.path = path;

    char* headers = second + 1 + std::strcspn(second + 1, "\n");
    if (*headers) ++headers;
    char* header = find_authorization(headers);
    if (!header) return 1;
    char* colon = std::strchr(header, ':');
    if (!colon || colon > header + std::strcspn(header, "\r\n")) return 1;
    r.auth_header = header;
    *colon = '\0';
    char* value = colon + 1;
    while (*value == ' ' || *value == '\t') ++value;
    // The value counts only when a carriage return ends it.
    char* end = value + std::strcspn(value, "\r\n");
    if (*end != '\r') return 1;
    *end = '\0';
    r.auth_value = value;
    r.auth_present = 1;
    return 1;
}

void fold_path(char* path) {
    if (std::strlen(path) == kFoldedPathLength) path[kFoldedPathLength - 1] = '\0';
}

int find_route(const char* path) {
    std::string folded(path);
    if (folded.size() == kFoldedPathLength) folded.pop_back();
    if (folded.size() == 1) return -2;
    for (int i = 0; i < kRouteCount; ++i)
        if (matches(kRoutes[i], folded.c_str())) return i;
    return -1;
}

RouteInfo route_info(int index) {
    if (index < 0 || index >= kRouteCount) return {"", 0, 0};
    const Route& route = kRoutes[index];
    return {route.text, route.kind == kPrefix || route.kind == kConfigGroup, route.open};
}

int route_request(AdminRequest& r) {
    fold_path(r.path);
    if (std::strlen(r.path) == 1) {
        net::PageWriter out(r.conn.client.get());
        out.add(kRedirectToAdmin);
        return 1;
    }
    bool authenticated = false;
    for (int i = 0; i < kRouteCount; ++i) {
        const Route& route = kRoutes[i];
        if (!matches(route, r.path)) continue;
        if (!route.open && !authenticated) {
            if (!authenticate(r)) return 1;
            authenticated = true;
        }
        if (route.kind == kConfigGroup) {
            const int result = config_route(r);
            if (result >= 0) return result;
            continue;
        }
        return route.run(r, route.text);
    }
    if (!authenticated && !authenticate(r)) return 1;
    return send_not_found(r);
}

int send_not_found(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 404 Not Found\r\n\r\n<H2>Not Found (");
    // The path comes from the request: markup in it must not reach the page.
    out.add_escaped(r.path ? r.path : "");
    out.add(")</H2>");
    return 1;
}

}  // namespace kv::admin
