#include "dial/dial_manager.h"

#include "dns/resolver.h"

namespace kv::dial {

int start_dial_manager(bool) { return 1; }
void stop_dial_manager() {}
bool running() { return false; }
bool connected() { return false; }
bool window_open() { return false; }
in_addr_t link_address() { return 0; }
int dial_and_wait() { return 0; }
const char* status_text() { return "not running"; }
void note_traffic(in_addr_t) {}
int state() { return 0; }
const char* link_address_text() { return ""; }
bool keep_up() { return false; }
void set_keep_up(bool) {}
int minutes_to_hangup() { return 0; }
void set_progress_socket(platform::Socket s) { s.reset(); }
void request_dial() {}
void request_hangup() {}
void force_window(int) {}
void set_idle_ticks(int) {}

int lookup_with_dial(const char* host, in_addr* out, int* dial_failed) {
    if (dial_failed) *dial_failed = 0;
    return dns::lookup(host, out);
}

}  // namespace kv::dial
