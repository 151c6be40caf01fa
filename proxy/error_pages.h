#pragma once
// Every answer the proxy writes itself instead of the origin's: the refusals,
// the redirect of ";refresh", the 304, and the 504 pages of a request that
// could not be parsed, resolved or connected. Each sends one whole answer to
// the client socket; a failed send is not reported (the connection ends next).
#include <cstdint>

#include "config/access_control.h"

namespace kv::proxy {

// The raw head as it came, inside the parse error page.
void send_parse_error_page(int fd, const char* raw_head);
// The 403, 407 or 401 for a refused request (nothing for malformed credentials).
void send_refusal(int fd, const config::AuthOutcome& why, const char* scheme, const char* host, const char* path);
// "301 Moved Permanently" to the URL without ";refresh"; the port is written
// unless it is the default of a known scheme.
void send_refresh_redirect(int fd, const char* scheme, const char* host, std::uint16_t port, const char* path);
void send_not_modified(int fd);
// The host has no address; closed by the "Error detected by" footer.
void send_no_dns_entry_page(int fd, const char* host);
// A dial attempt failed: the dial-up manager's text. With the footer when
// asked (after a failed lookup), without it after a failed connect.
void send_dial_failed_page(int fd, const char* status_text, bool with_footer);
// No socket could be made (only for "too many files" and "no buffers").
void send_no_socket_page(int fd);
// The connect failed; reason is the known reason text or null for none.
void send_connect_failed_page(int fd, const char* host, std::uint16_t port, const char* reason);

}  // namespace kv::proxy
