#pragma once
// Name lookup. The system's resolver for now; the internal resolver with its
// name cache fills this interface later.
#include <netinet/in.h>

namespace kv::dns {

// Initialises the resolver; 1 on success.
[[nodiscard]] int init_resolver();
void release_resolver();
// Resolves a host name or dotted address to an IPv4 address (network order).
// 1 on success; 0 with the thread's last socket error set to 11001-11004.
[[nodiscard]] int lookup(const char* host, in_addr* out);
// Reverse lookup; 1 with the name cut to size-1 characters.
[[nodiscard]] int reverse_lookup(const in_addr& addr, char* out, unsigned size);

// The DNS forwarder for SOCKS clients. Not built yet: it answers as if the
// forwarder were off.
int start_forwarder();
void stop_forwarder();

}  // namespace kv::dns
