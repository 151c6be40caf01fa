#pragma once
// Mail transfers: one receive pass over the POP3 download accounts, then one
// send pass over the spool, run one at a time in the MAIL TRANSFER service's
// connection thread (127.0.0.1 port 5674). Every start (the schedule, an
// urgent message, the admin page, the shells' command) goes through the
// trigger. Also the schedule thread and the spool's queue table.
#include <cstddef>

#include "conn/connection_record.h"
#include "platform/socket.h"

namespace kv::mail {

inline constexpr unsigned short kTransferPort = 5674;

// A send-and-receive run is going on.
bool transfer_in_progress();
// Starts a transfer that reports to `output` and closes it (an invalid
// socket: no report). The socket is handed over through a process-wide table
// under a random number, never as a descriptor number on the wire. Without
// the mail server it writes "To enable this feature ..." to the output and
// closes it; when the service cannot be reached it just closes it.
void trigger_transfer(platform::Socket output);
// The MAIL TRANSFER row's handler.
int mail_transfer_serve(conn::ConnectionRecord& r);

// The spool table for the admin page ("No messages<br>\n" when empty).
void queue_view(int fd);
// The value of a header (name with its colon) found as a line feed followed
// by the name, any case, in the first n bytes of block; "" when absent.
void queue_header(const char* block, std::size_t n, const char* name, char* out, std::size_t size);

// The schedule's readers of MailSendRcvTime. The "every" form "h:m" in
// seconds (missing numbers count as 0; 0 never triggers); the "at" form: the
// minute's "HH:MM" occurs in the text.
[[nodiscard]] long long schedule_interval_seconds(const char* text);
[[nodiscard]] bool time_listed(const char* text, int hour, int minute);

// The schedule thread: 1 when it runs (entry 3300 when it cannot start).
int start_mail_schedule();
// Wakes and joins the thread; closes hand-overs nobody claimed.
void stop_mail_schedule();

}  // namespace kv::mail
