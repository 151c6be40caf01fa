#pragma once
// Who may connect, and who may fetch what: the allowed IP check, the access
// decision, the proxy authentication, the SOCKS check. All only read the
// lists (under their shared lock) and decide; the caller answers its client.
#include <netinet/in.h>

#include <cstddef>
#include <string>

#include "config/config_lists.h"

namespace kv::config {

inline constexpr std::size_t kAuthUserSize = 32;  // 29 characters kept
inline constexpr std::size_t kRefusalReasonSize = 512;  // the longest reason names a 256-character pattern

struct Settings;

// Whether clients reaching this interface address may be served at all:
// SecureInterface empty, the loopback interface, or an address it names.
bool interface_is_secure(const Settings& cfg, const char* interface_text);

// A datagram's admission, by the rules of connections: the local address it
// was sent to must be a secure interface and its sender an allowed address.
bool datagram_admitted(const Settings& cfg, in_addr local, in_addr client);

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
    char* user_out;                   // kAuthUserSize bytes; filled from the credentials
};

// How a refused request is to be answered.
enum class Refusal {
    kNone,
    kMalformed,       // credentials that cannot be read: no answer at all
    kSiteForbidden,   // the rule admits only the "nobody" user: the 403 for the site
    kNotAllowed,      // a known or named user the rules refuse: the 403 with the reason
    kAskCredentials,  // anonymous or a wrong password: 407, or 401 without a version
};

struct AuthOutcome {
    Refusal refusal = Refusal::kNone;
    bool proxy_request = false;  // the request had a version: 407 rather than 401
    std::string user;            // the whole name the credentials gave ("!" when none)
    char reason[kRefusalReasonSize] = "";
};

// 1 to go on; 0 when refused, with *out telling how to answer.
[[nodiscard]] int proxy_authenticate(const ConfigLists& l, const AuthRequest& r, AuthOutcome* out);

// 1 when a SOCKS client may reach host:port (no user name: always).
[[nodiscard]] int socks_access(const ConfigLists& l, const char* host, int port, const char* user,
                               const char* password);

}  // namespace kv::config
