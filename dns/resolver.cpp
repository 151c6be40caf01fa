#include "dns/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "dns/internal_query.h"
#include "dns/name_cache.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/socket_error.h"

namespace kv::dns {
namespace {

NameCache& name_cache() {
    static NameCache cache;
    return cache;
}

int wsa_from_gai(int rc) {
    switch (rc) {
        case EAI_AGAIN: return platform::kWsaTryAgain;
        case EAI_FAIL: return platform::kWsaNoRecovery;
#ifdef EAI_NODATA
        case EAI_NODATA: return platform::kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return platform::kWsaNoData;
#endif
        default: return platform::kWsaHostNotFound;
    }
}

int system_lookup(const char* host, in_addr* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        if (rc == EAI_SYSTEM) platform::capture_socket_error();
        else platform::set_last_socket_error(wsa_from_gai(rc));
        return 0;
    }
    *out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return 1;
}

std::uint32_t system_now_ms() { return platform::tick_ms(); }

constexpr ResolverClock kSystemClock{system_now_ms, platform::sleep_ms};

std::uint32_t g_retry_at_ms = kRetryAtMs;

// Test builds may shorten the retry's wait, so that black-box tests of
// failing names need not each wait 4 s; the rule itself is unchanged.
void read_test_retry() {
#ifdef KV_TEST_BUILD
    if (const char* text = std::getenv("KORVANET_TEST_DNS_RETRY_MS")) {
        long ms = 0;
        if (platform::parse_decimal(text, 0, 60000, &ms)) g_retry_at_ms = static_cast<std::uint32_t>(ms);
    }
#endif
}

}  // namespace

int init_resolver() {
    (void)name_cache();
    read_test_retry();
    return 1;
}

void release_resolver() {}

void cache_insert(const char* name, in_addr address) { name_cache().insert(name, address); }
int cache_find(const char* name, in_addr* address) { return name_cache().find(name, address); }
void cache_clear() { name_cache().clear(); }

int resolve_once(const char* host, in_addr* out) {
    if (inet_pton(AF_INET, host, out) == 1) return 1;
    if (cache_find(host, out)) return 1;
    const config::Settings& s = config::live();
    const bool internal = s.DnsServer[0] && s.InternalResolver && std::strchr(host, '.');
    const int found = internal ? internal_query(s.DnsServer, host, out) : system_lookup(host, out);
    if (!found) return 0;
    cache_insert(host, *out);
    return 1;
}

int lookup_with_retry(const char* host, in_addr* out, ResolveOnce once, const ResolverClock& clock,
                      std::uint32_t retry_at_ms) {
    const std::uint32_t start = clock.now_ms();
    if (once(host, out)) return 1;
    const std::uint32_t spent = clock.now_ms() - start;
    if (spent >= kFastFailureMs) return 0;
    // The other connections get time to bring a dial-up line up meanwhile.
    if (spent < retry_at_ms) clock.sleep_ms(retry_at_ms - spent);
    return once(host, out);
}

int lookup(const char* host, in_addr* out) {
    if (!host || !*host) {
        platform::set_last_socket_error(platform::kWsaHostNotFound);
        return 0;
    }
    return lookup_with_retry(host, out, resolve_once, kSystemClock, g_retry_at_ms);
}

int reverse_lookup(const in_addr& addr, char* out, unsigned size) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    char name[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0)
        return 0;
    std::size_t n = std::strlen(name);
    if (n >= size) n = size - 1;
    std::memcpy(out, name, n);
    out[n] = '\0';
    return 1;
}

}  // namespace kv::dns
