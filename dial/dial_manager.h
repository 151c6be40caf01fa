#pragma once
// Not built yet: every call answers as if the feature were off.
// The dial-up manager's interface as the rest of the server sees it: it
// reports "not running", so nothing dials and nothing hangs up.
#include <netinet/in.h>

#include "platform/socket.h"

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
// Line state for the pages: 0 not connected, 1 connecting, 2 connected.
int state();
// Dotted address of the dial-up link ("" when none).
const char* link_address_text();
// "Keep up": never hang up on idle time.
bool keep_up();
void set_keep_up(bool on);
// Minutes left before the idle hang-up.
int minutes_to_hangup();
// Takes a browser connection that receives the dialling progress lines; the
// manager writes to it and closes it (when not running: closes it at once).
void set_progress_socket(platform::Socket s);
// Asks the dial thread to dial / to hang up; returns at once.
void request_dial();
void request_hangup();
// The mail transfer's hold on the line: mode 1 opens the dial window
// whatever the weekday windows say, mode 0 gives the window back to them.
void force_window(int mode);
// Idle ticks (6-second passes without traffic); 999999 makes the line hang
// up as soon as the mail transfer is over, 0 starts the count anew.
void set_idle_ticks(int ticks);
// Lookup that may dial first; *dial_failed set when a dial attempt failed.
int lookup_with_dial(const char* host, in_addr* out, int* dial_failed);

}  // namespace kv::dial
