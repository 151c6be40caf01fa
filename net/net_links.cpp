#include "net/net_links.h"

#include <arpa/inet.h>

#include "platform/socket_error.h"

namespace kv::net {
namespace {

// Before the host registers the resolver, only dotted addresses resolve.
int dotted_only(const char* host, in_addr* out) {
    if (host && inet_pton(AF_INET, host, out) == 1) return 1;
    platform::set_last_socket_error(platform::kWsaHostNotFound);
    return 0;
}

int dotted_only_no_dial(const char* host, in_addr* out, int* dial_failed) {
    if (dial_failed) *dial_failed = 0;
    return dotted_only(host, out);
}

bool never() { return false; }
int no_dial() { return 0; }
in_addr_t no_link() { return 0; }
const char* no_status() { return ""; }
void no_note(in_addr_t) {}

NetLinks with_defaults(NetLinks l) {
    if (!l.lookup) l.lookup = dotted_only;
    if (!l.lookup_with_dial) l.lookup_with_dial = dotted_only_no_dial;
    if (!l.dial_running) l.dial_running = never;
    if (!l.dial_connected) l.dial_connected = never;
    if (!l.dial_window_open) l.dial_window_open = never;
    if (!l.dial_and_wait) l.dial_and_wait = no_dial;
    if (!l.link_address) l.link_address = no_link;
    if (!l.dial_status_text) l.dial_status_text = no_status;
    if (!l.note_traffic) l.note_traffic = no_note;
    return l;
}

NetLinks g_links = with_defaults(NetLinks{});

}  // namespace

void set_net_links(const NetLinks& links) { g_links = with_defaults(links); }

const NetLinks& net_links() { return g_links; }

}  // namespace kv::net
