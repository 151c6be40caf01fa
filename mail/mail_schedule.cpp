#include "mail/mail_schedule.h"

namespace kv::mail {
int start_mail_schedule() { return 1; }
void stop_mail_schedule() {}
int pop3_server_init() { return 1; }
void pop3_server_stop() {}
int smtp_server_init() { return 1; }
void smtp_server_stop() {}
}  // namespace kv::mail
