// Feeds arbitrary bytes to the Gopher engine's pure steps: as a menu arriving
// from a server (line finder, line parser, item formatter) and as the path of
// a browser's request (path split, request line). Besides the sanitizers'
// checks: every output stays inside its buffer, the shown text is escaped,
// the link holds nothing that could end its attribute, and a request line of
// the browser's making is exactly one line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "proxy/gopher_engine.h"

namespace {

using kv::proxy::MenuLineState;

void check(bool ok) {
    if (!ok) std::abort();
}

constexpr std::size_t kGuard = 16;
constexpr char kGuardByte = '\x5a';

void check_guard(const char* after) {
    for (std::size_t i = 0; i < kGuard; ++i) check(after[i] == kGuardByte);
}

constexpr std::string_view kLinkStart = "<A HREF=\"gopher://";
constexpr std::string_view kImageEnd = ".gif\"> ";
constexpr std::string_view kLineEnd = "</A>\r\n";

void check_item_html(std::string_view html) {
    check(html.substr(0, kLinkStart.size()) == kLinkStart);
    const std::size_t quote = html.find('"', kLinkStart.size());
    check(quote != std::string_view::npos);
    for (const char c : html.substr(kLinkStart.size(), quote - kLinkStart.size())) {
        const auto u = static_cast<unsigned char>(c);
        check(u >= 0x20 && u != 0x7f && c != ' ' && c != '<' && c != '>' && c != '#');
    }
    const std::size_t shown = html.find(kImageEnd, quote);
    check(shown != std::string_view::npos);
    check(html.size() >= shown + kImageEnd.size() + kLineEnd.size());
    check(html.substr(html.size() - kLineEnd.size()) == kLineEnd);
    const std::string_view text =
        html.substr(shown + kImageEnd.size(), html.size() - kLineEnd.size() - shown - kImageEnd.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        check(text[i] != '<' && text[i] != '>');
        if (text[i] == '&') {
            const std::string_view rest = text.substr(i);
            check(rest.substr(0, 5) == "&amp;" || rest.substr(0, 4) == "&lt;" || rest.substr(0, 4) == "&gt;");
        }
    }
}

void fuzz_menu(const char* data, std::size_t size) {
    static char line[kv::proxy::kMenuLineLimit + kGuard];
    static char html[kv::proxy::kMenuItemHtmlSize + kGuard];
    std::size_t at = 0;
    // Each pass takes at least one byte.
    while (at < size) {
        std::size_t length = 0, taken = 0;
        const MenuLineState state = kv::proxy::find_menu_line(data + at, size - at, &length, &taken);
        if (state != MenuLineState::kComplete) return;
        check(taken >= 1 && taken <= kv::proxy::kMenuLineLimit && length < taken && at + taken <= size);
        std::memset(line, kGuardByte, sizeof line);
        std::memcpy(line, data + at, length);
        line[length] = '\0';
        at += taken;
        kv::proxy::MenuItem item;
        if (!kv::proxy::parse_menu_line(line, &item)) continue;
        check_guard(line + kv::proxy::kMenuLineLimit);
        check(std::strpbrk(item.port, "\t\r") == nullptr);
        std::memset(html, kGuardByte, sizeof html);
        const std::size_t n = kv::proxy::format_menu_item(item, "255.255.255.255", 65535, html,
                                                          kv::proxy::kMenuItemHtmlSize);
        check_guard(html + kv::proxy::kMenuItemHtmlSize);
        // A 199-byte line always fits, however it escapes.
        check(n > 0 && n < kv::proxy::kMenuItemHtmlSize && std::strlen(html) == n);
        check_item_html(std::string_view(html, n));
    }
}

void fuzz_path(const char* data, std::size_t size) {
    static char path[9000 + kGuard];
    static char request[9000 + kGuard];
    if (size > 8998) size = 8998;
    std::memset(path, kGuardByte, sizeof path);
    path[0] = '/';
    std::memcpy(path + 1, data, size);
    path[size + 1] = '\0';
    kv::proxy::GopherRequest req;
    kv::proxy::split_gopher_path(path, &req);
    check_guard(path + 9000);
    check(std::strpbrk(req.selector, "\r\n") == nullptr);
    if (req.query) check(std::strpbrk(req.query, "\r\n") == nullptr);
    std::memset(request, kGuardByte, sizeof request);
    const std::size_t n = kv::proxy::format_gopher_request(req, request, 9000);
    check_guard(request + 9000);
    check(n < 9000 && std::strlen(request) == n);
    const std::string_view sent(request, n);
    if (n == 0) {
        check(!req.root && (req.type == '2' || req.type == '7') && !req.query);
    } else if (!req.root && req.type == '2') {
        check(sent.substr(0, 3) == "ph " && sent.size() >= 9 && sent.substr(sent.size() - 6) == "\nquit\n");
        check(sent.find_first_of("\r\n") == sent.size() - 6);
    } else {
        check(sent.size() >= 2 && sent.find_first_of("\r\n") == sent.size() - 2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    fuzz_menu(bytes, size);
    fuzz_path(bytes, size);
    return 0;
}
