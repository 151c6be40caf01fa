#include "proxy/gopher_engine.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/banners.h"
#include "net/line_io.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"
#include "platform/socket_error.h"
#include "proxy/http_relay.h"

namespace kv::proxy {
namespace {

constexpr char kHeadPlain[] = "HTTP/1.0 200 \r\nContent-Type: text/plain\r\n\r\n";
constexpr char kHeadGif[] = "HTTP/1.0 200 \r\nContent-Type: image/gif\r\n\r\n";
constexpr char kHeadHtml[] = "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\n";
constexpr char kMenuHead[] =
    "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\n"
    "<BODY BACKGROUND=\"http://%s:%d/admin/images/background.gif\"><H1>Gopher Menu</H1><PRE>";
constexpr char kCsoForm[] = "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\nA CSO Search <ISINDEX>";
constexpr char kSearchForm[] = "HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\nA Gopher Search <ISINDEX>";
constexpr char kMenuEnd[] = "</BODY>";
// Menu lines are gathered from blocks of this size; a line never needs more
// than kMenuLineLimit of it.
constexpr std::size_t kMenuReceiveSize = 2048;
constexpr std::size_t kMenuHeadSize = 300;  // the head with a 15-character address and a 5-digit port
constexpr std::size_t kFooterSize = 512;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The item type as the path will read once unescaped: its second character,
// or the byte a "%hh" there stands for.
char raw_item_type(const char* path) {
    if (path[1] == '%') {
        const int hi = hex_digit(path[2]);
        const int lo = hi >= 0 ? hex_digit(path[3]) : -1;
        if (lo >= 0) return static_cast<char>(hi * 16 + lo);
    }
    return path[1];
}

// Ends a selector or query at its first CR or LF: one browser request sends
// exactly one request line.
void cut_at_line_end(char* text) { text[std::strcspn(text, "\r\n")] = '\0'; }

bool is_search_type(char type) { return type == '2' || type == '7'; }

// Appends to a bounded buffer; once something did not fit, every later
// append is dropped and the result is refused.
struct Appender {
    char* out;
    std::size_t size;
    std::size_t used = 0;
    bool cut = false;

    void add(const char* data, std::size_t n) {
        if (cut || used + n + 1 > size) {
            cut = true;
            return;
        }
        std::memcpy(out + used, data, n);
        used += n;
    }
    void add(const char* text) { add(text, std::strlen(text)); }
    std::size_t finish() {
        if (cut || size == 0) {
            if (size) out[0] = '\0';
            return 0;
        }
        out[used] = '\0';
        return used;
    }
};

// Bytes that cannot stand as they are inside a quoted link: the five of the
// shared URL escape, the quote that would end the attribute, the fragment
// mark, the tag brackets and the control bytes.
bool needs_href_escape(unsigned char c) {
    return c == '%' || c == ' ' || c == '?' || c == '+' || c == '&' || c == '"' || c == '#' || c == '<' ||
           c == '>' || c < 0x20 || c == 0x7f;
}

// Appends text %-escaped for a link, at most limit characters, never cutting
// inside an escape.
void add_href_escaped(Appender& a, const char* text, std::size_t limit) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t written = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (needs_href_escape(*p)) {
            if (written + 3 > limit) return;
            const char e[3] = {'%', kHex[*p >> 4], kHex[*p & 0x0f]};
            a.add(e, 3);
            written += 3;
        } else {
            if (written + 1 > limit) return;
            a.add(reinterpret_cast<const char*>(p), 1);
            written += 1;
        }
    }
}

// Appends page text with '&', '<' and '>' as entities.
void add_html_escaped(Appender& a, const char* text) {
    for (const char* run = text; *run;) {
        const std::size_t plain = std::strcspn(run, "&<>");
        a.add(run, plain);
        run += plain;
        switch (*run) {
            case '&': a.add("&amp;"); break;
            case '<': a.add("&lt;"); break;
            case '>': a.add("&gt;"); break;
            default: return;
        }
        ++run;
    }
}

// The page being sent, gathered in the work buffer so that the lines of one
// received block leave in one send. Item lines count in bytes sent once they
// have gone.
struct PageOut {
    conn::ConnectionRecord& r;
    std::size_t used = 0;
    long long counted = 0;  // item-line bytes among the gathered ones
    bool failed = false;

    bool flush() {
        if (failed) return false;
        if (used == 0) return true;
        const std::size_t n = used;
        used = 0;
        if (!send_to_client_with_cache_copy(r, n)) {
            failed = true;
            return false;
        }
        r.proxy.bytes_sent += counted;
        counted = 0;
        return true;
    }
    // n is at most a formatted item line, far below the buffer's size.
    bool add(const char* data, std::size_t n, bool count) {
        if (failed) return false;
        if (used + n > kRelayBlockSize && !flush()) return false;
        if (n > kRelayBlockSize) return false;
        std::memcpy(r.work + used, data, n);
        used += n;
        if (count) counted += static_cast<long long>(n);
        return true;
    }
};

long receive_some(int fd, char* buf, std::size_t n, int* error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const ssize_t got = ::recv(fd, buf, n, 0);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        *error = platform::capture_socket_error();
        return -1;
    }
    *error = platform::kWsaInterrupted;
    return -1;
}

void log_receive_failed(int syscode) {
    log::error(log::kErrGopherReceive, 1, syscode, "failed to receive data from gopher");
}

// A menu that cannot be read to its end: what was gathered still goes out,
// then nothing more (no footer, no "</BODY>"), and the page is not kept.
int menu_broken(conn::ConnectionRecord& r, PageOut& out, int syscode) {
    (void)out.flush();
    log_receive_failed(syscode);
    r.proxy.discard = 1;
    return 0;
}

// Reads the menu from the server and sends it as an HTML page.
int run_menu(conn::ConnectionRecord& r) {
    const auto& s = config::live();
    PageOut out{r};
    char head[kMenuHeadSize];
    platform::format_bounded(head, kMenuHead, r.interface_text, static_cast<int>(s.AdminPort));
    if (!out.add(head, std::strlen(head), false)) return 0;

    char in[kMenuReceiveSize];
    std::size_t start = 0, have = 0;
    char html[kMenuItemHtmlSize];
    // Each pass takes one line or receives at least one byte, and a line is
    // at most kMenuLineLimit bytes: the loop ends with the server's data.
    for (;;) {
        std::size_t length = 0, taken = 0;
        const MenuLineState state = find_menu_line(in + start, have - start, &length, &taken);
        if (state == MenuLineState::kTooLong) return menu_broken(r, out, 0);
        if (state == MenuLineState::kComplete) {
            char* line = in + start;
            line[length] = '\0';
            start += taken;
            if (line[0] == '.') {
                char footer[kFooterSize];
                const std::size_t n = net::format_generated_by(footer, sizeof footer);
                if (!out.add(footer, n, false) || !out.flush()) return 0;
                // Not part of the stored page.
                return net::send_text(r.client.get(), kMenuEnd);
            }
            MenuItem item;
            if (!parse_menu_line(line, &item)) return menu_broken(r, out, 0);
            if (!menu_item_shown(item.type)) continue;
            const std::size_t n = format_menu_item(item, r.interface_text, s.AdminPort, html, sizeof html);
            if (n > 0 && !out.add(html, n, true)) return 0;
            continue;
        }
        // The browser gets what has been made before the proxy waits again.
        if (!out.flush()) return 0;
        std::memmove(in, in + start, have - start);
        have -= start;
        start = 0;
        int error = 0;
        const long got = receive_some(r.server.get(), in + have, sizeof in - have, &error);
        if (got <= 0) return menu_broken(r, out, got < 0 ? error : 0);
        have += static_cast<std::size_t>(got);
    }
}

// Passes the server's bytes on unchanged until it closes.
int relay_document(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    for (;;) {
        int error = 0;
        const long n = receive_some(r.server.get(), r.work, kRelayBlockSize, &error);
        if (n < 0) {
            p.error = error;
            log_receive_failed(error);
            p.discard = p.discard_on_abort;
            return 0;
        }
        if (n == 0) return 1;
        if (!send_to_client_with_cache_copy(r, static_cast<std::size_t>(n))) {
            if (p.error != platform::kWsaConnReset)
                log::error(log::kErrGopherSend, 1, p.error, "failed to send data to client");
            return 0;
        }
        p.bytes_sent += n;
    }
}

int pass_text(conn::ConnectionRecord& r, const char* text) {
    return send_block_with_cache_copy(r, text, std::strlen(text));
}

const char* head_for_type(char type) {
    switch (type) {
        case 'g': return kHeadGif;
        case 'h': return kHeadHtml;
        default: return kHeadPlain;
    }
}

}  // namespace

void split_gopher_path(char* path, GopherRequest* out) {
    *out = GopherRequest{};
    if (std::strcmp(path, "/") == 0 || path[0] == '\0') {
        out->root = true;
        return;
    }
    // A '?' the browser escaped belongs to the selector: the split comes first.
    if (is_search_type(raw_item_type(path))) {
        if (char* mark = std::strchr(path, '?')) {
            *mark = '\0';
            char* query = mark + 1;
            net::plus_to_blank(query);
            net::url_unescape(query);
            cut_at_line_end(query);
            out->query = query;
        }
    }
    net::url_unescape(path);
    out->type = path[1];
    if (path[1] == '\0') return;
    char* selector = path + 2;
    cut_at_line_end(selector);
    out->selector = selector;
}

std::size_t format_gopher_request(const GopherRequest& req, char* out, std::size_t size) {
    Appender a{out, size};
    if (req.root) {
        a.add("\r\n");
    } else if (req.type == '2') {
        if (!req.query) return a.finish();
        a.add("ph ");
        a.add(req.query);
        a.add("\nquit\n");
    } else if (req.type == '7') {
        if (!req.query) return a.finish();
        a.add(req.selector);
        a.add("\t");
        a.add(req.query);
        a.add("\r\n");
    } else {
        a.add(req.selector);
        a.add("\r\n");
    }
    return a.finish();
}

int parse_menu_line(char* line, MenuItem* out) {
    *out = MenuItem{};
    if (line[0] == '\0') return 0;
    char* fields[4];
    fields[0] = line + 1;
    for (int i = 1; i < 4; ++i) {
        char* tab = std::strchr(fields[i - 1], '\t');
        if (!tab) return 0;
        *tab = '\0';
        fields[i] = tab + 1;
    }
    fields[3][std::strcspn(fields[3], "\t\r\n")] = '\0';
    out->type = line[0];
    out->display = fields[0];
    out->selector = fields[1];
    out->host = fields[2];
    out->port = fields[3];
    return 1;
}

bool menu_item_shown(char type) { return type != '3' && type != '7'; }

const char* icon_for_type(char type) {
    switch (type) {
        case '0':
        case 'h': return "text";
        case '1':
        case '7': return "dir";
        case '2': return "index";
        case '4':
        case '5': return "binary";
        case ';': return "movie";
        case 'I':
        case 'g': return "image";
        case 's': return "sound";
        default: return "unknown";
    }
}

std::size_t format_menu_item(const MenuItem& item, const char* interface_text, int admin_port, char* out,
                             std::size_t size) {
    Appender a{out, size};
    a.add("<A HREF=\"gopher://");
    add_href_escaped(a, item.host, kEscapedSelectorLimit);
    a.add(":");
    add_href_escaped(a, item.port, kEscapedSelectorLimit);
    a.add("/");
    const char type[2] = {item.type, '\0'};
    add_href_escaped(a, type, 3);
    add_href_escaped(a, item.selector, kEscapedSelectorLimit);
    char image[kMenuHeadSize];
    platform::format_bounded(image, "\"><IMG ALIGN=absbottom BORDER=0 SRC=\"http://%s:%d/admin/images/%s.gif\"> ",
                             interface_text, admin_port, icon_for_type(item.type));
    a.add(image);
    add_html_escaped(a, item.display);
    a.add("</A>\r\n");
    return a.finish();
}

MenuLineState find_menu_line(const char* data, std::size_t have, std::size_t* length, std::size_t* taken) {
    const std::size_t look = have < kMenuLineLimit ? have : kMenuLineLimit;
    const void* lf = std::memchr(data, '\n', look);
    if (!lf) return have >= kMenuLineLimit ? MenuLineState::kTooLong : MenuLineState::kNeedMore;
    std::size_t n = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
    *taken = n + 1;
    if (n > 0 && data[n - 1] == '\r') --n;
    *length = n;
    return MenuLineState::kComplete;
}

int gopher_engine(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    GopherRequest req;
    split_gopher_path(p.path, &req);

    if (!req.root && is_search_type(req.type) && !req.query) {
        // The form alone; it counts as one byte so the page stays cached.
        if (!pass_text(r, req.type == '2' ? kCsoForm : kSearchForm)) return 0;
        p.bytes_sent = 1;
        return 1;
    }

    // The request line leaves from the work buffer before any answer uses it.
    const std::size_t n = format_gopher_request(req, r.work, sizeof r.work);
    if (n == 0 || !net::send_all(r.server.get(), r.work, n)) {
        p.discard = 1;
        return 0;
    }

    if (req.root || req.type == '1' || req.type == '7') return run_menu(r);
    if (!pass_text(r, req.type == '2' ? kHeadPlain : head_for_type(req.type))) return 0;
    return relay_document(r);
}

}  // namespace kv::proxy
