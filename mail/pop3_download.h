#pragma once
// The receive pass of a mail transfer: every POP3 download account's mail,
// one message at a time through a scratch file in the spool directory, then
// delivered to the account's local target. A message is deleted on the
// provider (POP3DELE) only once a synced copy of it is stored here.
#include "mail/transfer.h"

namespace kv::mail {

// A STAT reply: "+OK" (any case), then the message count and total size.
// 1 with both; 0 when either number is missing.
[[nodiscard]] int parse_stat_reply(const char* line, long long* count, long long* size);

// The whole pass with its progress fragments. 0 when a pass is already
// running or MailDir is not set.
int receive_all(Transfer& t);
// Gives back the receiving flag the state holds.
void end_receiving(TransferState& s);

}  // namespace kv::mail
