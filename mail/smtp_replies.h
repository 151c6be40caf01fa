#pragma once
// Replies of an upstream SMTP server: a reply is the lines up to the first
// one whose fourth character is not "-"; that last line is "the reply".
#include <cstddef>

namespace kv::mail {

inline constexpr std::size_t kReplyLineSize = 8192;   // 8191 characters + NUL
inline constexpr std::size_t kAuthReplyLineSize = 1024;
inline constexpr std::size_t kWholeReplyKept = 8190;  // the lines of an EHLO reply
inline constexpr int kReplyMaxLines = 100;

struct SmtpReply {
    char last[kReplyLineSize];
    char whole[kWholeReplyKept + 1];  // every line with its CR LF, cut at 8,190 bytes
    std::size_t whole_length;
    int lines;
};

enum class ReplyStep { kMore, kDone, kTooLong };
void reply_start(SmtpReply& r);
// Takes one line (line end removed): kDone at the reply's last line,
// kTooLong once more than 100 lines came without one.
[[nodiscard]] ReplyStep reply_add_line(SmtpReply& r, const char* line);
// "2" or "3" first.
[[nodiscard]] bool reply_positive(const SmtpReply& r);

// Reads a whole reply from the socket, lines of at most line_size - 1
// characters. 1 with the reply; 0 when the socket failed or closed, a line
// was too long or the reply never ended (the socket error is then the
// thread's last socket error).
[[nodiscard]] int read_smtp_reply(int fd, SmtpReply& r, std::size_t line_size = kReplyLineSize);

}  // namespace kv::mail
