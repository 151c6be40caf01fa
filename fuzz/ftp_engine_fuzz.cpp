// Feeds arbitrary bytes to the FTP engine's readers: the first byte picks
// what they play. 0 or 1: a control connection's replies over a socket pair
// (1 collects the lines of multi-line replies); 2: a server's LIST data,
// parsed line by line and formatted as the listing page does, with the
// path bar and the 227 and 213 readers over the same text. Besides the
// sanitizers' checks, every result stays inside its buffer and every text
// from the server reaches the page escaped.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "proxy/ftp_engine.h"
#include "proxy/ftp_listing.h"

namespace {

constexpr std::size_t kMaxInput = 16384;
constexpr char kIconTail[] = ".gif\"> ";

void check(bool ok) {
    if (!ok) std::abort();
}

bool has_any(const std::string& s, const char* bytes) { return s.find_first_of(bytes) != std::string::npos; }

void check_replies(const std::uint8_t* data, std::size_t size, bool collect) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    const kv::platform::Socket proxy(fds[0]), server(fds[1]);
    if (size > 0 && ::send(server.get(), data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return;
    ::shutdown(server.get(), SHUT_WR);
    kv::proxy::ReplyReader reader;
    for (int replies = 0; replies < 20000; ++replies) {
        char text[kv::proxy::kReplyTextSize];
        std::memset(text, 'Z', sizeof text);
        int code = -1;
        bool more = false;
        const int got = kv::proxy::read_ftp_reply(proxy.get(), reader, collect, 100, text, sizeof text, &code, &more);
        check(got >= -1 && got <= 1);
        if (got != 1) return;
        check(std::memchr(text, '\0', sizeof text) != nullptr);
        check(code >= 0 && code <= 999);
        check(collect || !more);
        check(std::strchr(text, '\n') == nullptr);
    }
}

// One formatted entry: the link holds no quote, tag or control byte, the
// shown name and the details no tag.
void check_entry(const char* html, std::size_t n) {
    check(n < kv::proxy::kEntryLineSize && std::strlen(html) == n);
    const std::string line(html, n);
    constexpr char kOpen[] = "<A HREF=\"";
    check(line.compare(0, sizeof kOpen - 1, kOpen) == 0);
    const std::size_t href_end = line.find('"', sizeof kOpen - 1);
    if (href_end == std::string::npos) return;  // cut inside the link: nothing shown follows
    const std::string href = line.substr(sizeof kOpen - 1, href_end - (sizeof kOpen - 1));
    for (unsigned char c : href) check(c >= 0x20 && c != 0x7f && c != '<' && c != '>' && c != ' ');
    const std::size_t shown_at = line.find(kIconTail, href_end);
    if (shown_at == std::string::npos) return;
    const std::size_t close = line.find("</A>", shown_at);
    if (close == std::string::npos) return;
    const std::size_t from = shown_at + sizeof kIconTail - 1;
    check(!has_any(line.substr(from, close - from), "<>\""));
    std::string details = line.substr(close + 4);
    const std::size_t link = details.find_first_not_of(' ');
    if (link != std::string::npos && details.compare(link, 10, "Symb. Link") == 0) {
        const std::size_t arrow = details.find(" -> ", link);
        if (arrow != std::string::npos) details.erase(arrow, 4);
    }
    check(!has_any(details, "<>"));
}

void check_listing(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    kv::proxy::ListingParser parser;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size();
        std::vector<char> line(text.begin() + static_cast<long>(start), text.begin() + static_cast<long>(lf));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line.push_back('\0');
        kv::proxy::ListingEntry e{};
        if (kv::proxy::parse_listing_line(parser, line.data(), &e)) {
            check(e.name && *e.name && std::strcmp(e.name, ".") != 0 && std::strcmp(e.name, "..") != 0);
            check(e.size >= 0);
            char html[kv::proxy::kEntryLineSize];
            check_entry(html, kv::proxy::format_listing_entry(e, "/cur/dir", "10.0.0.1", 3129, html, sizeof html));
        }
        start = lf + 1;
    }
    // The same text as a path and as server replies.
    const std::string path(text.c_str());
    std::string bar;
    kv::proxy::append_path_bar(bar, path.c_str(), "10.0.0.1", 3129);
    check(bar.size() < 2 * kv::proxy::kPathBarLimit + 6 * path.size() + 256);
    char parent[64];
    if (kv::proxy::parent_path(path.c_str(), parent, sizeof parent)) check(parent[0] == '/');
    std::uint8_t address[4];
    std::uint16_t port = 0;
    (void)kv::proxy::parse_passive_reply(path.c_str(), address, &port);
    check(kv::proxy::parse_size_reply(path.c_str()) >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > kMaxInput) return 0;
    switch (data[0] % 3) {
        case 0: check_replies(data + 1, size - 1, false); break;
        case 1: check_replies(data + 1, size - 1, true); break;
        default: check_listing(data + 1, size - 1); break;
    }
    return 0;
}
