#pragma once
// Who may connect, and who may fetch what: the allowed IP check, the access
// decision, the proxy authentication with its refusal answers, the SOCKS check.
// All only read the lists (under their shared lock).
#include <cstddef>

#include "config/config_lists.h"

namespace kv::config {

inline constexpr std::size_t kAuthUserSize = 32;  // 29 characters kept

struct Settings;

// Whether clients reaching this interface address may be served at all:
// SecureInterface empty, the loopback interface, or an address it names.
bool interface_is_secure(const Settings& cfg, const char* interface_text);

// 1 when the dotted address may use the services.
[[nodiscard]] int address_allowed(const ConfigLists& l, const char* address);

// 1 to allow; 0 to refuse, with url overwritten by the reason (url_size bytes).
[[nodiscard]] int access_decision(const ConfigLists& l, char* url, std::size_t url_size,
                                  const char* user, const char* password);

// What the proxy authentication needs of a parsed request.
struct AuthRequest {
    const char* scheme;
    const char* host;
    const char* path;
    const char* version;              // null when the request had none
    const char* proxy_authorization;  // header values, null when absent
    const char* authorization;
    int client_fd;                    // where the refusal answer goes
    char* user_out;                   // kAuthUserSize bytes; filled from the credentials
};
// 1 to go on; 0 when refused (the 403/407/401 answer has been sent; nothing
// for malformed credentials).
[[nodiscard]] int proxy_authenticate(const ConfigLists& l, const AuthRequest& r);

// 1 when a SOCKS client may reach host:port (no user name: always).
[[nodiscard]] int socks_access(const ConfigLists& l, const char* host, int port, const char* user,
                               const char* password);

}  // namespace kv::config
