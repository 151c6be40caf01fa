// Feeds arbitrary bytes to the mail servers' parsers; the first byte chooses
// which one. Besides the sanitizers' checks: the end of DATA is found at the
// same place however the stream is cut into blocks, a message number that
// parses lies within 32 bits, and no mailbox name the checker accepts leads
// out of the mail directory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "mail/dot_stream.h"
#include "mail/mail_store.h"
#include "mail/pop3_server.h"
#include "mail/smtp_server.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int which = data[0] % 6;
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
