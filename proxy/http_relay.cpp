#include "proxy/http_relay.h"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "cache/disk_cache.h"
#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/banners.h"
#include "net/base64.h"
#include "net/line_io.h"
#include "net/page_writer.h"
#include "net/relay.h"
#include "net/stream_splice.h"
#include "net/text_scan.h"
#include "net/url_ports.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/socket_error.h"
#include "proxy/progress_points.h"
#include "proxy/request_parse.h"

namespace kv::proxy {
namespace {

constexpr unsigned kZeroLengthBodyWaitMs = 1000;
constexpr char kHttpPrefix[] = "HTTP/1.";
constexpr std::size_t kHttpPrefixLength = sizeof kHttpPrefix - 1;
constexpr std::size_t kContentLengthSkip = 16;  // "Content-Length: "

bool header_is(const char* name, const char* wanted) { return strcasecmp(name, wanted) == 0; }

// The largest length or code a header is taken to say: 18 digits.
constexpr long long kLargestHeaderNumber = 999999999999999999LL;

// Leading decimal digits after optional blanks and a sign; 0 when none.
// Clamped so a long run of digits cannot overflow.
long long leading_number(const char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (*text < '0' || *text > '9') return 0;
    const long long value = platform::leading_decimal(text, kLargestHeaderNumber);
    return negative ? -value : value;
}

// The status code after the first blank of the status line: 1 with *out, 0
// when there is no blank or no number there.
int status_code(const char* header, int* out) {
    const char* space = std::strchr(header, ' ');
    if (!space) return 0;
    const char* p = space;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    const char* digits = (*p == '-' || *p == '+') ? p + 1 : p;
    if (*digits < '0' || *digits > '9') return 0;
    *out = static_cast<int>(leading_number(p));
    return 1;
}

// The end of a response header in area[from .. got): just past a LF whose
// previous byte, or the one before that, is also a LF. 0 when not there yet.
std::size_t find_header_end(const char* area, std::size_t from, std::size_t got) {
    for (std::size_t j = from; j < got; ++j)
        if (area[j] == '\n' && ((j >= 1 && area[j - 1] == '\n') || (j >= 2 && area[j - 2] == '\n')))
            return j + 1;
    return 0;
}

// How many body bytes follow the response header: 0 for answers that carry
// none, the Content-Length value when the header has a well-formed one, -1
// when only the server's close ends the body. Knowing the end lets the relay
// finish as soon as the body is through, even when the origin keeps its
// connection open for more requests. An interim 1xx answer ("100 Continue")
// is followed by the real one: everything passes until the server closes.
long long response_body_length(const char* header, const char* method, int status) {
    if (status >= 100 && status < 200) return -1;
    if (strcasecmp(method, "HEAD") == 0 || status == 204 || status == 304) return 0;
    for (const char* line = header; line && *line; line = std::strchr(line, '\n')) {
        if (*line == '\n') ++line;
        if (strncasecmp(line, "Content-Length:", 15) != 0) continue;
        const char* v = line + 15;
        while (*v == ' ' || *v == '\t') ++v;
        const char* digits = v;
        const long long value = *v >= '0' && *v <= '9' ? platform::leading_decimal(v, kLargestHeaderNumber, &v) : 0;
        while (*v == ' ' || *v == '\t' || *v == '\r') ++v;
        return (v > digits && *v == '\n') ? value : -1;
    }
    return -1;
}

// The browser's side ended the transfer: no access-log line.
int browser_refused(conn::ConnectionRecord& r) {
    const int error = r.proxy.error;
    if (error != platform::kWsaConnReset && error != platform::kWsaTimedOut)
        log::error(log::kErrRelaySendClient, 1, error, "error sending data to client");
    return 0;
}

int relay_failed(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    if (p.error != platform::kWsaConnReset && p.error != platform::kWsaTimedOut)
        log::error(log::kErrRelayData, 1, p.error, "error receiving or sending data");
    p.discard = p.discard_on_abort;
    write_access_entry(r);
    return 0;
}

// recv that records the socket error; EINTR is retried.
long receive(int fd, char* buf, std::size_t n, int flags, int* error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        ssize_t got = ::recv(fd, buf, n, flags);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        *error = platform::capture_socket_error();
        return -1;
    }
    *error = platform::kWsaInterrupted;
    return -1;
}

// Forwards the request body of a POST or PUT. 1, or 0 for the failure exit.
int forward_body(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    const int client = r.client.get();
    const int server = r.server.get();
    // Bytes that came in with the head go first.
    if (p.body_length > 0 && !net::send_all(server, p.body, static_cast<std::size_t>(p.body_length))) {
        p.error = platform::last_socket_error();
        return 0;
    }
    const char* header = find_request_header(p, "Content-Length");
    const long long length = header ? leading_number(header) : 0;
    if (length <= 0) {
        // No usable length: pass on what the browser sends within a short
        // wait, without blocking on a browser that sends nothing.
        p.error = header ? kErrorZeroContentLength : kErrorNoContentLength;
        platform::sleep_ms(kZeroLengthBodyWaitMs);
        int error = 0;
        long n = receive(client, r.work, kRelayBlockSize, MSG_DONTWAIT, &error);
        if (n > 0 && !net::send_all(server, r.work, static_cast<std::size_t>(n))) {
            p.error = platform::last_socket_error();
            return 0;
        }
        return 1;
    }
    long long total = p.body_length;
    while (total < length) {
        long n = receive(client, r.work, kRelayBlockSize, 0, &p.error);
        if (n <= 0) {
            if (n == 0) p.error = platform::last_socket_error();
            return 0;
        }
        if (!net::send_all(server, r.work, static_cast<std::size_t>(n))) {
            p.error = platform::last_socket_error();
            return 0;
        }
        total += n;
    }
    return 1;
}

// Whether this is a request to this server's own administration interface,
// which leaves no access-log line.
bool to_own_admin(const conn::ConnectionRecord& r) {
    return r.proxy.dest_port == config::live().AdminPort &&
           std::strcmp(r.proxy.server_text, r.interface_text) == 0;
}

}  // namespace

void write_access_entry(conn::ConnectionRecord& r) {
    if (!config::live().LogAccess) return;
    const auto& p = r.proxy;
    const log::AccessEntry e{conn::display_name(r), p.user, p.method, p.scheme,
                             p.host, p.path, p.status, p.bytes_sent};
    log::access(e, r.work, sizeof r.work);
}

int send_block_with_cache_copy(conn::ConnectionRecord& r, const char* data, std::size_t length) {
    auto& p = r.proxy;
    bool browser_gone = false;
    if (!net::send_all(r.client.get(), data, length)) {
        p.error = platform::last_socket_error();
        if (!p.cacheable) return 0;
        if (!config::live().ContinueAborted && !cache::has_followers(r)) {
            p.discard = p.discard_on_abort;
            return 0;
        }
        // The download goes on into the cache although this browser has gone.
        browser_gone = true;
    }
    if (p.cacheable && !cache::append(r, data, length)) {
        // The object is lost (the cache deletes it at finish); the browser
        // still gets the rest of the transfer.
        p.cacheable = 0;
        if (browser_gone) return 0;
    }
    return 1;
}

int send_to_client_with_cache_copy(conn::ConnectionRecord& r, std::size_t length) {
    if (length > sizeof r.work) length = sizeof r.work;
    return send_block_with_cache_copy(r, r.work, length);
}

int send_request_upstream(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    const auto& s = config::live();
    net::PageWriter out(r.server.get());

    out.add(p.method);
    out.add(" ");
    if (p.via_parent) {
        out.add(p.scheme);
        out.add("://");
        out.add(p.host);
        if (!net::port_left_out(p.dest_port, net::UrlFor::kParentProxy)) {
            char port[8];  // ":65535" + NUL
            platform::format_bounded(port, ":%d", static_cast<int>(p.dest_port));
            out.add(port);
        }
    }
    out.add(p.path);
    out.add(" ");
    out.add(p.version);
    out.add("\r\n");

    for (int i = 0; i < p.header_count; ++i) {
        const char* name = p.headers[i].name;
        if (p.no_cache && header_is(name, "If-Modified-Since")) continue;
        if (!p.via_parent && header_is(name, "Proxy-Authorization")) continue;
        if (header_is(name, "Proxy-Connection")) continue;
        out.add(name);
        out.add(": ");
        out.add(p.headers[i].value);
        out.add("\r\n");
    }

    if (p.via_parent && s.ParentProxyUsername[0]) {
        char credentials[kParentCredentialsSize];
        platform::format_bounded(credentials, "%s:%s", s.ParentProxyUsername, s.ParentProxyPassword);
        char encoded[kParentAuthLineSize];
        net::base64_encode(credentials, std::strlen(credentials), encoded, sizeof encoded);
        char line[kParentAuthLineSize];
        platform::format_bounded(line, "Proxy-Authorization: Basic %s\r\n", encoded);
        out.add(line);
    }
    out.add("\r\n");
    // The head leaves in one send, so it travels in one segment.
    if (!out.flush()) p.error = platform::last_socket_error();
    return out.ok();
}

namespace {

// The response as it is read into the second half of the request buffer.
struct Response {
    char* area;
    std::size_t got = 0;            // bytes in area
    bool closed = false;            // the server closed
    bool is_http = false;           // an "HTTP/1." answer with a header
    std::size_t header_length = 0;  // through the header's final LF
    char saved = '\0';              // the byte after the header while it is a text
    long long body_left = -1;       // body bytes still to come; -1: until the server closes
};

// Enough bytes to tell an HTTP/1.x response from anything else. 0 on failure.
int read_response_start(conn::ConnectionRecord& r, Response& in) {
    auto& p = r.proxy;
    while (in.got < kHttpPrefixLength) {
        const long n = receive(r.server.get(), in.area + in.got, kResponseHeaderLimit - in.got, 0, &p.error);
        if (n < 0) return 0;
        if (n == 0) {
            in.closed = true;
            break;
        }
        in.got += static_cast<std::size_t>(n);
        if (strncasecmp(in.area, kHttpPrefix, in.got < kHttpPrefixLength ? in.got : kHttpPrefixLength) != 0) break;
    }
    in.is_http = in.got >= kHttpPrefixLength && strncasecmp(in.area, kHttpPrefix, kHttpPrefixLength) == 0;
    return 1;
}

// The rest of the header, up to its blank line or the server's close.
int read_response_header(conn::ConnectionRecord& r, Response& in) {
    auto& p = r.proxy;
    in.header_length = find_header_end(in.area, 0, in.got);
    while (!in.header_length) {
        if (in.closed) {
            in.header_length = in.got;  // the server's close ends the header
            break;
        }
        if (in.got >= kResponseHeaderLimit) {
            p.error = 0;
            return 0;
        }
        const std::size_t from = in.got;
        const long n = receive(r.server.get(), in.area + in.got, kResponseHeaderLimit - in.got, 0, &p.error);
        if (n < 0) return 0;
        if (n == 0) {
            in.closed = true;
            continue;
        }
        in.got += static_cast<std::size_t>(n);
        in.header_length = find_header_end(in.area, from, in.got);
    }
    return 1;
}

// What the header says: the status, whether the answer may be stored, its
// announced size and where its body ends. The header stays a text (the byte
// after it saved) for the copy that follows. 0 for a bad status line.
int judge_response_header(conn::ConnectionRecord& r, Response& in, const config::Settings& s) {
    auto& p = r.proxy;
    in.saved = in.area[in.header_length];
    in.area[in.header_length] = '\0';
    if (!status_code(in.area, &p.status)) {
        log::error(log::kErrRelayStatusLine, 1, 0, "Error reading response from server, status line is : %s\n",
                   in.area);
        in.area[in.header_length] = in.saved;
        p.error = kErrorBadStatusLine;
        return 0;
    }
    if (p.status != 200 && p.status != 301 && p.status != 302) p.cacheable = 0;
    // Matched with case on purpose: catches both "Pragma" and "pragma".
    if (std::strstr(in.area, "ragma: no-cache") && !s.IgnoreNo_Cache) p.cacheable = 0;
    if (const char* length = net::find_case_blind(in.area, "Content-Length")) {
        if (::strnlen(length, kContentLengthSkip) == kContentLengthSkip)
            p.expected_size = leading_number(length + kContentLengthSkip);
    }
    in.body_left = response_body_length(in.area, p.method, p.status);
    return 1;
}

// The header, without its Expires line (the cache decides freshness
// itself), and the first body bytes, to the browser and the cache.
int pass_response_header(conn::ConnectionRecord& r, Response& in) {
    auto& p = r.proxy;
    std::size_t copied = in.header_length;
    const char* expires = std::strstr(in.area, "Expires:");
    const char* expires_end = expires ? std::strchr(expires, '\n') : nullptr;
    if (expires_end) {
        const std::size_t before = static_cast<std::size_t>(expires - in.area);
        const std::size_t after = static_cast<std::size_t>(expires_end + 1 - in.area);
        std::memcpy(r.work, in.area, before);
        in.area[in.header_length] = in.saved;
        std::memcpy(r.work + before, in.area + after, in.header_length - after);
        copied = before + in.header_length - after;
    } else {
        in.area[in.header_length] = in.saved;
        std::memcpy(r.work, in.area, in.header_length);
    }
    const std::size_t first_body = in.got - in.header_length;
    std::memcpy(r.work + copied, in.area + in.header_length, first_body);
    if (!send_to_client_with_cache_copy(r, copied + first_body)) return 0;
    if (p.status >= 300 && p.status < 400) p.bytes_sent += static_cast<long long>(copied);
    p.bytes_sent += static_cast<long long>(first_body);
    if (in.body_left >= 0)
        in.body_left = in.body_left > static_cast<long long>(first_body) ? in.body_left - first_body : 0;
    return 1;
}

// The body, block by block; a large body that is not being stored moves
// socket to socket in the kernel once the first full block has passed.
int pass_body(conn::ConnectionRecord& r, Response& in) {
    auto& p = r.proxy;
    const int server = r.server.get();
    bool splice_tried = false;
    for (;;) {
        if (in.body_left == 0) in.closed = true;
        const std::size_t block = in.body_left > 0 && in.body_left < static_cast<long long>(kRelayBlockSize)
                                      ? static_cast<std::size_t>(in.body_left)
                                      : kRelayBlockSize;
        const long n = in.closed ? 0 : receive(server, r.work, block, 0, &p.error);
        if (n < 0) return relay_failed(r);
        if (n == 0) {
            r.progress = kPointBodyComplete;
            if (!to_own_admin(r)) write_access_entry(r);
            return 1;
        }
        if (!send_to_client_with_cache_copy(r, static_cast<std::size_t>(n))) return browser_refused(r);
        p.bytes_sent += n;
        if (in.body_left > 0) in.body_left -= n;
        if (!p.cacheable && n == static_cast<long>(kRelayBlockSize) && !splice_tried) {
            splice_tried = true;
            long long moved = 0;
            bool send_failed = false;
            int error = 0;
            const int spliced = net::splice_until_close(server, r.client.get(), in.body_left, &moved, &error,
                                                        &send_failed);
            p.bytes_sent += moved;
            if (in.body_left > 0) in.body_left -= moved;
            if (spliced == 1) in.closed = true;
            if (spliced == 0) {
                p.error = error;
                return send_failed ? browser_refused(r) : relay_failed(r);
            }
        }
    }
}

}  // namespace

int http_relay(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    r.progress = kPointRelayOrClosing;
    if (!send_request_upstream(r)) return relay_failed(r);
    r.progress = kPointRequestSent;
    if (strcasecmp(p.method, "POST") == 0 || strcasecmp(p.method, "PUT") == 0) {
        if (!forward_body(r)) return relay_failed(r);
    }

    // Bytes that follow the header in the same receive are the first body bytes.
    r.progress = kPointReadingResponse;
    Response in{p.request + conn::kResponseAreaOffset};
    if (!read_response_start(r, in)) return relay_failed(r);
    if (in.is_http && !(read_response_header(r, in) && judge_response_header(r, in, config::live())))
        return relay_failed(r);

    // Also for an answer that is not HTTP/1.x: it is stored as it came.
    r.progress = kPointResponseHeaderRead;
    if (p.cacheable) (void)cache::open_for_write(r);
    if (in.is_http) {
        if (!pass_response_header(r, in)) return browser_refused(r);
    } else if (in.got > 0) {
        // Not an HTTP/1.x answer: everything passes on untouched.
        if (!send_block_with_cache_copy(r, in.area, in.got)) return browser_refused(r);
        p.bytes_sent += static_cast<long long>(in.got);
    }
    r.progress = kPointPassingBody;
    return pass_body(r, in);
}

void connect_tunnel(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    const int client = r.client.get();
    const int server = r.server.get();
    r.progress = kPointRelayOrClosing;
    if (p.via_parent) {
        // The parent's own answer reaches the browser through the pipe.
        if (!net::send_formatted(server, "CONNECT %s:%d HTTP/1.0\r\n\r\n", p.host, static_cast<int>(p.dest_port)))
            return;
    } else {
        if (!net::send_formatted(client, "HTTP/1.0 200 Connection established\r\nProxy-agent: Korvanet/%s\r\n\r\n",
                                 net::version_text()))
            return;
    }
    // A browser may start its handshake before the answer: those bytes came
    // in with the head.
    if (p.body_length > 0 && !net::send_all(server, p.body, static_cast<std::size_t>(p.body_length))) return;
    (void)net::relay(client, server, r.work, kRelayBlockSize);
}

}  // namespace kv::proxy
