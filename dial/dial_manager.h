#pragma once
// The dial-up manager's interface as the rest of the server sees it. Until the
// manager is built it reports "not running": nothing dials, nothing hangs up.
#include <netinet/in.h>

namespace kv::dial {

int start_dial_manager(bool as_service);
void stop_dial_manager();
bool running();
bool connected();
// The demand-dial window of now is open.
bool window_open();
// Address the dial-up link was given (network order); 0 when none.
in_addr_t link_address();
// Dials and waits as the manager's rules say; 1 when the link is connected.
int dial_and_wait();
// Text of the manager's current status / last error.
const char* status_text();
// Traffic passed through the local address (keeps the line up).
void note_traffic(in_addr_t local_address);
// Lookup that may dial first; *dial_failed set when a dial attempt failed.
int lookup_with_dial(const char* host, in_addr* out, int* dial_failed);

}  // namespace kv::dial
