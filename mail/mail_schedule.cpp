#include "mail/mail_schedule.h"

#include "net/line_io.h"

namespace kv::mail {

bool transfer_in_progress() { return false; }

void trigger_transfer(platform::Socket output) {
    // The mail server is not built yet: answer as with mail service off.
    if (output.valid())
        (void)net::send_text(output.get(), "To enable this feature you have to configure Korvanet as a&nbsp;Mail server");
}

void queue_view(int fd) { (void)net::send_text(fd, "No messages<br>\n"); }

int start_mail_schedule() { return 1; }
void stop_mail_schedule() {}
}  // namespace kv::mail
