#pragma once
// The mail schedule thread and the mail services' init/stop hooks. Not built
// yet: they do nothing and report success.
namespace kv::mail {
int start_mail_schedule();
void stop_mail_schedule();
int pop3_server_init();
void pop3_server_stop();
int smtp_server_init();
void smtp_server_stop();
}  // namespace kv::mail
