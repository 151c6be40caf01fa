// Feeds arbitrary bytes to the mail parsers; the first byte chooses which
// one. Besides the sanitizers' checks: the end of DATA is found at the same
// place however the stream is cut into blocks, a message number that parses
// lies within 32 bits, and no mailbox name the checker accepts leads out of
// the mail directory. For the mail exchange: an upstream reply read from a
// socket agrees with the same lines fed one by one and keeps its limits, an
// envelope command always fits its buffer, a POP3 download ends a message
// where a plain search of the stream does, a queue header comes only from a
// line start, and the schedule's readers agree with scanf and strstr.
#include <strings.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mail/dot_stream.h"
#include "mail/mail_schedule.h"
#include "mail/mail_sender.h"
#include "mail/mail_store.h"
#include "mail/pop3_download.h"
#include "mail/pop3_server.h"
#include "mail/smtp_replies.h"
#include "mail/smtp_server.h"
#include "net/line_io.h"
#include "platform/socket.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Where the end mark is found when the stream comes in blocks of `step`.
std::pair<std::size_t, int> end_of_data(const std::string& s, std::size_t step) {
    kv::mail::DataEnd state;
    for (std::size_t at = 0; at < s.size();) {
        const std::size_t n = std::min(step, s.size() - at);
        int cut = 0;
        const std::size_t taken = kv::mail::scan_data_end(state, s.data() + at, n, &cut);
        check(taken <= n);
        at += taken;
        if (cut) {
            check(taken >= 1 && (cut == 2 || cut == 3));
            return {at, cut};
        }
        check(taken == n);
    }
    return {s.size(), 0};
}

// The piece of the text up to the n-th line feed.
std::string field(const std::string& s, int n) {
    std::size_t start = 0;
    for (int i = 0; i < n; ++i) {
        start = s.find('\n', start);
        if (start == std::string::npos) return "";
        ++start;
    }
    const std::size_t end = s.find('\n', start);
    return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Where the end mark is found when the stream comes in blocks whose sizes
// repeat `sizes`.
std::pair<std::size_t, int> end_of_data_in(const std::string& s, const std::vector<std::size_t>& sizes) {
    kv::mail::DataEnd state;
    std::size_t turn = 0;
    for (std::size_t at = 0; at < s.size();) {
        const std::size_t n = std::min(sizes[turn++ % sizes.size()], s.size() - at);
        int cut = 0;
        const std::size_t taken = kv::mail::scan_data_end(state, s.data() + at, n, &cut);
        check(taken <= n);
        at += taken;
        if (cut) return {at, cut};
        check(taken == n);
    }
    return {s.size(), 0};
}

// The same by a plain search: the stream behind a line end, the first
// "\r\n.\r\n" or "\n.\n" that closes.
std::pair<std::size_t, int> end_of_data_searched(const std::string& s) {
    const std::string p = std::string("\0\0\r\n", 4) + s;
    for (std::size_t i = 4; i < p.size(); ++i) {
        if (p[i] != '\n') continue;
        if (p.compare(i - 4, 5, "\r\n.\r\n") == 0) return {i - 3, 3};
        if (p.compare(i - 2, 3, "\n.\n") == 0) return {i - 3, 2};
    }
    return {s.size(), 0};
}

// One upstream reply line by line, as a socket reader with lines of at most
// `limit` bytes (line end included) would give them. 1 at the reply's end,
// 0 when a line is too long, the stream ends first or the reply has too many
// lines; `model` then holds what the reply kept.
int reply_from_lines(const std::string& s, std::size_t limit, kv::mail::SmtpReply& model) {
    kv::mail::reply_start(model);
    std::string whole;
    int kept = 0;
    for (std::size_t at = 0;;) {
        const std::size_t lf = s.find('\n', at);
        if (lf == std::string::npos || lf - at + 1 > limit) return 0;
        std::string line = s.substr(at, lf - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = lf + 1;
        const char* text = line.c_str();  // text up to a NUL
        const std::size_t n = std::strlen(text);
        const kv::mail::ReplyStep step = kv::mail::reply_add_line(model, text);
        if (kept == kv::mail::kReplyMaxLines) {
            check(step == kv::mail::ReplyStep::kTooLong);
            return 0;
        }
        check(step != kv::mail::ReplyStep::kTooLong);
        ++kept;
        check(model.lines == kept);
        whole.append(text, n).append("\r\n");
        const std::string expected = whole.substr(0, kv::mail::kWholeReplyKept);
        check(model.whole_length == expected.size() && model.whole_length <= kv::mail::kWholeReplyKept);
        check(std::strlen(model.whole) == model.whole_length && expected == model.whole);
        const bool continues = n >= 4 && text[3] == '-';
        check(step == (continues ? kv::mail::ReplyStep::kMore : kv::mail::ReplyStep::kDone));
        if (!continues) {
            check(std::strncmp(model.last, text, sizeof model.last - 1) == 0);
            return 1;
        }
    }
}

// The first line of the input (up to a line feed, its CR removed).
std::string first_line(const std::string& s, std::string* rest) {
    const std::size_t lf = s.find('\n');
    std::string line = s.substr(0, lf);
    if (rest) *rest = lf == std::string::npos ? "" : s.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The schedule's "h:m" form by sscanf, for texts whose numbers stay short.
bool short_numbers(const char* text) {
    std::size_t run = 0;
    for (const char* p = text; *p; ++p) {
        run = *p >= '0' && *p <= '9' ? run + 1 : 0;
        if (run > 6) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int which = data[0] % 11;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const char* text = input.c_str();  // a NUL ends a line's text, as on the wire
    switch (which) {
        case 0: {
            (void)kv::mail::smtp_command(text);
            const int r = kv::mail::recipient_syntax(text);
            check(r >= 0 && r <= 2);
            break;
        }
        case 1: {
            const std::string rcpt = field(input, 0), client = field(input, 1), ips = field(input, 2),
                              domains = field(input, 3);
            const kv::mail::RelayRules rules{(size & 1) != 0, (size & 2) != 0, ips.c_str(), domains.c_str()};
            (void)kv::mail::relay_allowed(rcpt.c_str(), client.c_str(), rules);
            break;
        }
        case 2: {
            const auto whole = end_of_data(input, input.size() + 1);
            for (std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{4096}})
                check(end_of_data(input, step) == whole);
            break;
        }
        case 3: {
            const kv::platform::File file(::memfd_create("header", 0));
            const int fd = file.get();
            if (fd < 0) return 0;
            if (::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size())) {
                std::string value;
                if (kv::mail::read_header(fd, 0, "To:", value)) check(value.size() <= kv::mail::kMaxHeaderValue);
                if (kv::mail::read_header(fd, 1, "x-envelope-to:", value)) check(value.size() <= kv::mail::kMaxHeaderValue);
            }
            break;
        }
        case 4: {
            kv::mail::Pop3Line line{};
            kv::mail::split_pop3_line(text, 2, line);
            check(line.args >= 0 && line.args <= 2);
            for (int i = 0; i < line.args; ++i) {
                check(std::strlen(line.arg[i]) < kv::mail::kPop3ArgumentSize);
                long long v = 0;
                if (kv::mail::pop3_number(line.arg[i], &v)) check(v >= -2147483648LL && v <= 2147483647LL);
            }
            break;
        }
        case 6: {
            // Lines fed one by one, then the same bytes through a socket; the
            // rest of the first byte picks the reader's line size.
            static constexpr std::size_t kSizes[] = {kv::mail::kReplyLineSize, kv::mail::kAuthReplyLineSize, 16, 1,
                                                     9000};
            const std::size_t line_size = kSizes[(data[0] / 11) % std::size(kSizes)];
            const std::size_t limit = std::min(line_size, kv::mail::kReplyLineSize);
            auto model = std::make_unique<kv::mail::SmtpReply>();
            const int expected = reply_from_lines(input, limit, *model);
            if (input.size() > 65536) break;  // what a socket pair holds without a reader
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
            kv::platform::Socket ours(fds[0]), theirs(fds[1]);
            if (!input.empty() && !kv::net::send_all(theirs.get(), input.data(), input.size())) return 0;
            theirs.reset();
            auto reply = std::make_unique<kv::mail::SmtpReply>();
            const int got = kv::mail::read_smtp_reply(ours.get(), *reply, line_size);
            check(got == expected);
            check(reply->whole_length <= kv::mail::kWholeReplyKept && reply->lines <= kv::mail::kReplyMaxLines + 1);
            if (got) {
                check(std::strcmp(reply->last, model->last) == 0 && std::strcmp(reply->whole, model->whole) == 0);
                check(reply->lines == model->lines && reply->lines <= kv::mail::kReplyMaxLines);
            }
            break;
        }
        case 7: {
            // A spool file line as the send pass reads it: at most 8,191 characters.
            std::string line = first_line(input, nullptr);
            if (line.size() > kv::net::kLineBufferSize - 1) line.resize(kv::net::kLineBufferSize - 1);
            const char* l = line.c_str();
            constexpr std::size_t kCommandSize = kv::net::kLineBufferSize + 16;  // the send pass's buffer
            constexpr std::size_t kGuard = 16;
            std::vector<char> out(kCommandSize + kGuard, 'z');
            const kv::mail::EnvelopeCommand kind = kv::mail::envelope_command(l, out.data(), kCommandSize);
            for (std::size_t i = kCommandSize; i < out.size(); ++i) check(out[i] == 'z');
            const std::size_t n = strnlen(out.data(), kCommandSize);
            check(n < kCommandSize);
            const std::string text(out.data(), n);
            const bool ends = n >= 2 && text.compare(n - 2, 2, "\r\n") == 0;
            switch (kind) {
                case kv::mail::EnvelopeCommand::kMailFrom: {
                    check(l[0] == '$' && ends && text.compare(0, 11, "MAIL FROM:<") == 0);
                    check(n >= 14 && text[n - 3] == '>');
                    const std::string address = text.substr(11, n - 14);
                    const char* from = std::strlen(l) > 3 ? l + 3 : "";
                    if (std::strchr(from, '@')) {
                        check(address.find('@') != std::string::npos && std::strstr(from, address.c_str()));
                        check(address.find_first_of("<> \t") == std::string::npos);
                    } else if (std::strcmp(from, "<>") != 0) {
                        check(address == from);
                    } else {
                        check(address.empty());
                    }
                    break;
                }
                case kv::mail::EnvelopeCommand::kRcptTo:
                    check((l[0] == 'B' || l[0] == 'C' || l[0] == 'T') && ends);
                    check(text == "RCPT TO:" + std::string(std::strlen(l) > 2 ? l + 2 : "") + "\r\n");
                    break;
                case kv::mail::EnvelopeCommand::kData: check(l[0] == '\0' && text == "DATA\r\n"); break;
                case kv::mail::EnvelopeCommand::kBad: check(std::strchr("$BCT", l[0]) == nullptr && n == 0); break;
            }
            // A smaller buffer holds the start of the same command.
            const std::size_t small = size % 40;
            std::vector<char> cut(small + kGuard, 'z');
            check(kv::mail::envelope_command(l, cut.data(), small) == kind);
            for (std::size_t i = small; i < cut.size(); ++i) check(cut[i] == 'z');
            if (small) {
                const std::size_t m = strnlen(cut.data(), small);
                check(m < small && text.compare(0, m, cut.data(), m) == 0 && (m == small - 1 || m == n));
            }
            break;
        }
        case 8: {
            // A STAT reply line, then a RETR answer that must end where a plain
            // search ends it, in blocks of sizes the bytes choose and in blocks
            // of one and two bytes by turns.
            std::string stream;
            const std::string stat = first_line(input, &stream);
            long long count = -1, total = -1;
            if (kv::mail::parse_stat_reply(stat.c_str(), &count, &total)) {
                check(strncasecmp(stat.c_str(), "+OK", 3) == 0);
                check(count >= 0 && count <= 0x7fffffff && total >= 0 && total <= 0x7fffffff);
            }
            std::vector<std::size_t> chosen;
            for (std::size_t i = 0; i < stat.size() && i < 16; ++i)
                chosen.push_back(static_cast<unsigned char>(stat[i]) % 17 + 1);
            if (chosen.empty()) chosen.push_back(5);
            const auto searched = end_of_data_searched(stream);
            check(end_of_data_in(stream, chosen) == searched);
            check(end_of_data_in(stream, {1, 2}) == searched);
            break;
        }
        case 9: {
            // The header name on the first line, the block after it.
            std::string rest;
            const std::string name = first_line(input, &rest);
            const std::vector<char> block(rest.begin(), rest.end());  // nothing after the block to lean on
            const std::size_t out_size = size % 2 ? kv::net::kLineBufferSize : size % 23;
            std::vector<char> out(out_size + 16, 'z');
            kv::mail::queue_header(block.data(), block.size(), name.c_str(), out.data(), out_size);
            for (std::size_t i = out_size; i < out.size(); ++i) check(out[i] == 'z');
            if (out_size == 0) break;
            const std::size_t n = strnlen(out.data(), out_size);
            check(n < out_size && std::memchr(out.data(), '\n', n) == nullptr);
            if (n) {
                // Only from a line feed followed by the name.
                const char* nm = name.c_str();
                const std::size_t len = std::strlen(nm);
                bool found = false;
                for (std::size_t i = 0; !found && i + 1 + len <= block.size(); ++i)
                    found = block[i] == '\n' && strncasecmp(block.data() + i + 1, nm, len) == 0;
                check(found);
            }
            break;
        }
        case 10: {
            // Hour and minute from two bytes, the list after them.
            if (input.size() < 2) break;
            const int hour = static_cast<signed char>(input[0]);
            const int minute = static_cast<signed char>(input[1]);
            const std::string list = input.substr(2);
            const char* t = list.c_str();
            const long long interval = kv::mail::schedule_interval_seconds(t);
            check(interval >= 0 && interval <= 1000000LL * 3600 + 1000000LL * 60);
            if (short_numbers(t)) {
                int h = 0, m = 0;
                (void)std::sscanf(t, "%d:%d", &h, &m);
                const long long seconds = static_cast<long long>(h) * 3600 + static_cast<long long>(m) * 60;
                check(interval == (seconds > 0 ? seconds : 0));
            }
            char now[16];
            std::snprintf(now, sizeof now, "%02d:%02d", hour, minute);
            check(kv::mail::time_listed(t, hour, minute) == (std::strstr(t, now) != nullptr));
            break;
        }
        default: {
            if (!kv::mail::mailbox_name_ok(input.data(), input.size())) break;
            const std::filesystem::path base("/srv/mail");
            const std::filesystem::path joined = (base / input).lexically_normal();
            const std::string j = joined.string();
            check(j.size() > base.string().size() + 1 && j.compare(0, 10, "/srv/mail/") == 0);
            check(joined.parent_path() == base);
            break;
        }
    }
    return 0;
}
