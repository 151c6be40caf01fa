#pragma once
// The dial-up manager: one thread that dials the configured peer on demand
// inside the weekly windows, watches the line and hangs it up after the idle
// time. Everything else talks to it through the shared state below (read
// without a lock) and one wake-up event. When no pppd program is installed it
// is absent: running() is false, nothing dials and nothing hangs up.
#include <netinet/in.h>

#include <string>
#include <vector>

#include "platform/ppp_link.h"
#include "platform/socket.h"

namespace kv::dial {

// What the manager learns from the rooms above it, registered before start:
// whether a connection of the service host runs over the line (it keeps the
// line up), and whether a mail transfer runs (no idle hang-up meanwhile).
struct DialHooks {
    int (*line_in_use)() = nullptr;
    bool (*transfer_in_progress)() = nullptr;
};
void set_dial_hooks(const DialHooks& hooks);

// The pppd side the manager drives; the real one unless replaced before
// start (units put a fake in). null puts the real one back.
void use_ppp_link(platform::PppLink* link);

// Starts the manager: at once for the desktop program, on a thread of its own
// after 6000 ms as a service (so the server's start is not held up). 1 when
// running or about to be; 0 when absent (no pppd, or one that cannot run:
// entry 1600) or the thread could not start (entry 1609).
int start_dial_manager(bool as_service);
// Wakes every wait, hangs our own line up (never one we did not start) and
// ends the thread.
void stop_dial_manager();
bool running();
bool connected();
// The demand-dial window of now is open (forced open, or the weekday's list
// holds the minute of local time).
bool window_open();
// Address the dial-up link was given (network order); 0 when none.
in_addr_t link_address();
// The dial wait of the connect path: asks for a dial unless one is under way
// and waits as WaitDial says. 0 when the dial failed; 1 otherwise (connected()
// then says whether the line is up).
int dial_and_wait();
// The current status text: the success line after a dial, or the dial-up
// error text after a failure (quoted as "RAS reports : %s").
const char* status_text();
// Traffic passed through the local address: it keeps the line up when it is
// the link's. One relaxed load and compare; called on every relay pass.
void note_traffic(in_addr_t local_address);
// Line state for the pages: 0 not connected, 1 connecting, 2 connected.
int state();
// Dotted address of the dial-up link ("" when none).
const char* link_address_text();
// "Keep up": never hang up on idle time.
bool keep_up();
void set_keep_up(bool on);
// HangUp minus the idle passes in tens.
int minutes_to_hangup();
// Takes a browser connection that receives the dialling progress lines; the
// manager writes to it and closes it. A connection it held before is closed;
// when not running this one is closed at once.
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
// The entries that may be chosen as ConnName, as the dial page lists them.
std::vector<std::string> phone_book();

}  // namespace kv::dial
