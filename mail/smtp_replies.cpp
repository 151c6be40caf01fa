#include "mail/smtp_replies.h"

#include <cstring>

#include "net/line_io.h"
#include "platform/bounded_text.h"

namespace kv::mail {
namespace {

// Appends to the whole reply as far as it has room.
void keep(SmtpReply& r, const char* text, std::size_t n) {
    const std::size_t room = kWholeReplyKept - r.whole_length;
    const std::size_t take = n < room ? n : room;
    std::memcpy(r.whole + r.whole_length, text, take);
    r.whole_length += take;
    r.whole[r.whole_length] = '\0';
}

}  // namespace

void reply_start(SmtpReply& r) {
    r.last[0] = '\0';
    r.whole[0] = '\0';
    r.whole_length = 0;
    r.lines = 0;
}

ReplyStep reply_add_line(SmtpReply& r, const char* line) {
    if (++r.lines > kReplyMaxLines) return ReplyStep::kTooLong;
    const std::size_t n = std::strlen(line);
    keep(r, line, n);
    keep(r, "\r\n", 2);
    // Only a "-" in the fourth place continues the reply: a bare "250" ends it.
    if (n >= 4 && line[3] == '-') return ReplyStep::kMore;
    (void)platform::copy_bounded(r.last, line);
    return ReplyStep::kDone;
}

bool reply_positive(const SmtpReply& r) { return r.last[0] == '2' || r.last[0] == '3'; }

int read_smtp_reply(int fd, SmtpReply& r, std::size_t line_size) {
    reply_start(r);
    char line[kReplyLineSize];
    if (line_size > sizeof line) line_size = sizeof line;
    for (;;) {
        if (!net::read_line_sized(fd, line, line_size)) return 0;
        switch (reply_add_line(r, line)) {
            case ReplyStep::kMore: break;
            case ReplyStep::kDone: return 1;
            case ReplyStep::kTooLong: return 0;
        }
    }
}

}  // namespace kv::mail
