#pragma once
// The admin request: reading its head apart and routing its path to a page.
#include <cstddef>

#include "admin/admin_request.h"

namespace kv::admin {

// Splits the head in r.request (NUL-terminated, ending with the blank line):
// the path is the text between the first and the second blank of the request
// line, cut there; sets is_msie, and the Authorization value when its line ends
// with a carriage return. 0 when the request line lacks either blank.
[[nodiscard]] int parse_request(AdminRequest& r);

// The seven-character rule in place: "/admin/" (or any seven-character path)
// loses its last character. Applying it twice changes nothing more.
void fold_path(char* path);

// Where a path goes: the index of the first route that takes it, or -1 for the
// Not Found page. The seven-character rule ("/admin/" is "/admin") applies;
// "/" alone is the redirect, index -2. Paths under "/admin/config" map to the
// configuration group, which may still decline them.
int find_route(const char* path);
struct RouteInfo {
    const char* text;  // the route's path ("/admin/images/" for every image)
    int prefix;        // 1: the path begins with text; 0: equals it
    int open;          // 1: served before the authentication step
};
RouteInfo route_info(int index);

// Runs the route of r.path (authenticating first for the protected routes).
// 1 when the caller is to close the connection, 0 when it was handed over.
int route_request(AdminRequest& r);

// "HTTP/1.0 404 Not Found" with the path (escaped) in the page. Returns 1.
int send_not_found(AdminRequest& r);

}  // namespace kv::admin
