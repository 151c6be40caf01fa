#pragma once
// What net/ needs from the rooms above it: the resolver, the dial-up manager
// and three live settings. The host registers them once at start, before any
// connection runs; until then names do not resolve (dotted addresses do),
// nothing dials, and the defaults below apply.
#include <netinet/in.h>

namespace kv::net {

struct NetLinks {
    // The resolver: 1 with the address; 0 with the socket error set.
    int (*lookup)(const char* host, in_addr* out) = nullptr;
    // A lookup that may dial first; *dial_failed set when a dial failed.
    int (*lookup_with_dial)(const char* host, in_addr* out, int* dial_failed) = nullptr;
    // The dial-up manager.
    bool (*dial_running)() = nullptr;
    bool (*dial_connected)() = nullptr;
    bool (*dial_window_open)() = nullptr;
    int (*dial_and_wait)() = nullptr;  // 0 when the dial failed
    in_addr_t (*link_address)() = nullptr;  // network order; 0 when none
    const char* (*dial_status_text)() = nullptr;
    void (*note_traffic)(in_addr_t local_address) = nullptr;
    // Settings: connect attempts on a time-out, whether a dial-up connection
    // is named at all, and the idle limit of a relay.
    int connect_retry = 1;
    bool connection_named = false;
    int timeout_minutes = 2;
};

void set_net_links(const NetLinks& links);
const NetLinks& net_links();

}  // namespace kv::net
