#pragma once
// The POP3 server: local users read and delete the message files of their
// mailbox directory under MailDir. Deletions take effect when the session
// ends, by QUIT or by a lost connection.
#include <cstddef>

#include "conn/connection_record.h"

namespace kv::mail {

inline constexpr int kMaxPop3Messages = 999;
inline constexpr std::size_t kPop3ArgumentSize = 1024;  // 1023 characters + NUL
inline constexpr std::size_t kMailboxNameSize = 20;     // 19 characters + NUL
inline constexpr std::size_t kUidlBytes = 1000;

// A command line split at blanks and tabs into a word and up to `max_args`
// arguments, each cut to 1023 characters.
struct Pop3Line {
    char word[kPop3ArgumentSize];
    char arg[2][kPop3ArgumentSize];
    int args;
};
void split_pop3_line(const char* line, int max_args, Pop3Line& out);
// A message number: an optional "-" and digits filling the argument, within
// 32 bits. 1 with *value; 0 when it is no number.
[[nodiscard]] int pop3_number(const char* arg, long long* value);

int pop3_server_init();
void pop3_server_stop();
// The row's handler: runs the dialogue and closes the client socket.
int pop3_serve(conn::ConnectionRecord& r);

}  // namespace kv::mail
