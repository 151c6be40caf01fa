#pragma once
// Not built yet: every call answers as if the feature were off.
// The mail schedule thread and the transfer trigger: they do nothing and
// report success.
#include "platform/socket.h"

namespace kv::mail {

// A send-and-receive run is going on.
bool transfer_in_progress();
// Starts a send-and-receive run that reports to `output` and closes it (an
// invalid socket: no report). Without the mail server it writes "To enable
// this feature ..." to the output and closes it.
void trigger_transfer(platform::Socket output);
// The spool table for the admin page ("No messages<br>\n" when empty).
void queue_view(int fd);

int start_mail_schedule();
void stop_mail_schedule();
}  // namespace kv::mail
