#pragma once
// Name lookup for every service: dotted addresses pass straight through,
// recent answers come from the name cache, other names go to the internal
// DNS client (DnsServer set, InternalResolver on, a dot in the name) or to
// the system's resolver. A failure that comes fast is tried once more.
#include <netinet/in.h>

#include <cstdint>

#include "dns/forwarder.h"

namespace kv::dns {

// A failure within this time of the start is tried once more at kRetryAtMs.
inline constexpr std::uint32_t kFastFailureMs = 2000;
inline constexpr std::uint32_t kRetryAtMs = 4000;

// Sets up the name cache; does nothing when already done. Returns 1.
[[nodiscard]] int init_resolver();
void release_resolver();

// Resolves a host name or dotted address to an IPv4 address (network order).
// 1 on success; 0 with the thread's last socket error set (11001-11004, or the
// code of a failed socket call). An empty name is never looked up.
[[nodiscard]] int lookup(const char* host, in_addr* out);

// One attempt, without the retry: dotted address, cache, then the internal
// query or the system's resolver; an answer is cached.
[[nodiscard]] int resolve_once(const char* host, in_addr* out);

// The clock lookup waits by; tests put a fake one in.
struct ResolverClock {
    std::uint32_t (*now_ms)();
    void (*sleep_ms)(unsigned ms);
};
// The retry rule around any single attempt: a failure within kFastFailureMs
// is tried once more at retry_at_ms from the start.
using ResolveOnce = int (*)(const char* host, in_addr* out);
[[nodiscard]] int lookup_with_retry(const char* host, in_addr* out, ResolveOnce once, const ResolverClock& clock,
                                    std::uint32_t retry_at_ms = kRetryAtMs);

// The name cache of every lookup.
void cache_insert(const char* name, in_addr address);
[[nodiscard]] int cache_find(const char* name, in_addr* address);
void cache_clear();

// Reverse lookup; 1 with the name cut to size-1 characters.
[[nodiscard]] int reverse_lookup(const in_addr& addr, char* out, unsigned size);

}  // namespace kv::dns
