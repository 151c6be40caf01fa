// The allowed IP check, the access decision, the proxy authentication with its
// refusal answers, and the SOCKS check. Each decision reads several lists, so it
// holds the lists' lock in shared mode once for the whole decision and reads
// the vectors directly (the locking list functions would lock again).
#include "config/access_control.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "net/base64.h"
#include "net/line_io.h"
#include "net/outbound_connect.h"
#include "platform/bounded_text.h"

namespace kv::config {
namespace {

constexpr const char* kAnonymous = "!";
constexpr const char* kNobodyUser = "nobody";
constexpr const char* kNobodyReason = "__nobody__";
constexpr const char* kInvalidPassword = "Invalid password.";
constexpr const char* kLoopbackText = "127.0.0.1";
constexpr std::size_t kUserNameKept = 29;
constexpr std::size_t kCredentialsSize = net::kLineBufferSize;
constexpr std::size_t kReasonSize = kRefusalReasonSize;
constexpr std::size_t kSocksUrlSize = 512;

// The user list is kept in case-blind name order (records only enter it by
// sorted insertion, and a stored name never changes), so the records whose
// names equal this one but for case form one run found by halving; the first
// exact match in that run is the first in the whole list. A request of a
// proxy asking for credentials thus costs the same with ten users or ten
// thousand.
const UserRecord* find_user_record(const ConfigLists& l, const char* name) {
    if (!name[0]) return nullptr;
    constexpr std::size_t kCompared = sizeof(UserRecord::name) - 1;
    auto it = std::lower_bound(l.users.begin(), l.users.end(), name, [](const UserRecord& u, const char* n) {
        return strncasecmp(u.name, n, kCompared) < 0;
    });
    for (; it != l.users.end() && strncasecmp(it->name, name, kCompared) == 0; ++it) {
        if (std::strncmp(it->name, name, kCompared) == 0) return &*it;
    }
    return nullptr;
}

void set_reason(char* url, std::size_t url_size, const char* reason) {
    if (url && url_size > 0) platform::copy_bounded(url, reason, url_size);
}

}  // namespace

bool interface_is_secure(const Settings& cfg, const char* iface) {
    return cfg.SecureInterface[0] == '\0' || std::strcmp(iface, "127.0.0.1") == 0 ||
           std::strstr(cfg.SecureInterface, iface) != nullptr;
}

bool datagram_admitted(const Settings& cfg, in_addr local, in_addr client) {
    char local_text[18];
    char client_text[18];
    net::address_text(local, local_text);
    net::address_text(client, client_text);
    return interface_is_secure(cfg, local_text) && address_allowed(cfg.lists, client_text);
}

int address_allowed(const ConfigLists& l, const char* address) {
    if (!address) return 0;
    std::shared_lock lock(l.lock);
    if (l.ips.empty()) return 1;
    if (std::strcmp(address, kLoopbackText) == 0) return 1;
    std::uint32_t a = 0;
    if (!parse_dotted_address(address, std::strlen(address), &a)) return 0;
    for (const IpEntry& e : l.ips) {
        if (e.start <= a && a <= e.end) return 1;
    }
    return 0;
}

int access_decision(const ConfigLists& l, char* url, std::size_t url_size, const char* user,
                    const char* password) {
    if (!url || url_size == 0 || !url[0] || !user) {
        set_reason(url, url_size, "");
        return 0;
    }
    if (!password) password = "";
    char reason[kReasonSize] = "";
    {
        std::shared_lock lock(l.lock);
        const UserRecord* u = find_user_record(l, user);
        if (u) {
            char digest[33];
            password_digest(u->name, password, digest);
            if (std::strncmp(digest, u->digest, 32) != 0) {
                set_reason(url, url_size, kInvalidPassword);
                return 0;
            }
            // Admins pass whatever the access list says.
            if (std::strstr(u->groups, kAdminsGroupId)) return 1;
        }
        const AccessRule* rule = nullptr;
        for (const AccessRule& r : l.access) {
            if (wildcard_match(r.pattern, url)) {
                rule = &r;
                break;
            }
        }
        // A URL that no rule names is open to everyone, known or not.
        if (!rule) return 1;
        if (u) {
            if (std::strstr(rule->members, u->id)) return 1;
            // Any group token of the rule ("ddd:") found in the user's groups.
            const std::size_t n = std::strlen(rule->members);
            for (std::size_t i = 0; i + 4 <= n; i += 4) {
                char token[5];
                std::memcpy(token, rule->members + i, 4);
                token[4] = '\0';
                if (std::strstr(u->groups, token)) return 1;
            }
            platform::format_bounded(reason, "You are not in the access list for URL(s) :<br><b>%s</b>",
                                rule->pattern);
        } else {
            const UserRecord* nobody = find_user_record(l, kNobodyUser);
            if (nobody && std::strstr(rule->members, nobody->id))
                platform::copy_bounded(reason, kNobodyReason);
            else
                platform::copy_bounded(reason, "You are not valid Korvanet user");
        }
    }
    set_reason(url, url_size, reason);
    return 0;
}

int proxy_authenticate(const ConfigLists& l, const AuthRequest& r, AuthOutcome* out) {
    out->proxy_request = r.version && r.version[0];
    const char* header = out->proxy_request ? r.proxy_authorization : r.authorization;

    out->user = kAnonymous;
    std::string password = kAnonymous;
    if (header) {
        const char* space = std::strchr(header, ' ');
        out->refusal = Refusal::kMalformed;
        if (!space) return 0;
        std::vector<char> decoded(kCredentialsSize);
        net::base64_decode(space + 1, decoded.data(), decoded.size());
        const char* colon = std::strchr(decoded.data(), ':');
        if (!colon) return 0;
        out->user.assign(decoded.data(), static_cast<std::size_t>(colon - decoded.data()));
        password = colon + 1;
        if (r.user_out) platform::copy_bounded(r.user_out, out->user.c_str(), kUserNameKept + 1);
    }

    std::string url = std::string(r.scheme ? r.scheme : "") + "://" + (r.host ? r.host : "") + (r.path ? r.path : "");
    if (const std::size_t q = url.find('?'); q != std::string::npos) url.resize(q);
    // The buffer takes the URL, or the reason when refused.
    std::vector<char> buffer(std::max(url.size() + 1, kReasonSize));
    platform::copy_bounded(buffer.data(), url.c_str(), buffer.size());
    if (access_decision(l, buffer.data(), buffer.size(), out->user.c_str(), password.c_str())) {
        out->refusal = Refusal::kNone;
        return 1;
    }
    const char* reason = buffer.data();
    platform::copy_bounded(out->reason, reason);
    if (std::strcmp(reason, kNobodyReason) == 0)
        out->refusal = Refusal::kSiteForbidden;
    else if (out->user[0] != '!' && std::strcmp(reason, kInvalidPassword) != 0)
        out->refusal = Refusal::kNotAllowed;
    else
        out->refusal = Refusal::kAskCredentials;
    return 0;
}

int socks_access(const ConfigLists& l, const char* host, int port, const char* user,
                 const char* password) {
    if (!user || !user[0]) return 1;
    char url[kSocksUrlSize];
    platform::format_bounded(url, "socks://%s:%d", host ? host : "", port);
    return access_decision(l, url, sizeof url, user, password);
}

}  // namespace kv::config
