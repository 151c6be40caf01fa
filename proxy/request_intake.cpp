#include "proxy/request_intake.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cache/disk_cache.h"
#include "config/access_control.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/banners.h"
#include "net/line_io.h"
#include "net/outbound_connect.h"
#include "net/text_utils.h"
#include "platform/socket_error.h"
#include "proxy/http_relay.h"
#include "proxy/protocol_engines.h"

namespace kv::proxy {
namespace {

constexpr char k504Head[] =
    "HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n";
constexpr char kParseErrorPage[] =
    "HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n"
    "<H4><font COLOR=\"#FF0000\">Error parsing http request : </font></H2><p><pre>";
constexpr char kNoSocketPage[] =
    "HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\n\r\n"
    "<H1><font COLOR=\"#FF0000\">Error :</font></H1><P>Korvanet can't create socket :<BR>"
    "no more file descriptors or buffer space available.<BR> Try again later.";
constexpr char kNotModified[] = "HTTP/1.0 304 Not Modified\r\n\r\n";

ParseSettings live_parse_settings() {
    const auto& s = config::live();
    return ParseSettings{s.EnableCache, s.AdminPort, s.KeepAborted};
}

// Every early end of a request: close everything, report "no engine ran".
int close_and_stop(conn::ConnectionRecord& r) {
    close_proxy_connection(r);
    return 0;
}

// Formats one page into the work buffer and sends it.
void send_page(conn::ConnectionRecord& r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void send_page(conn::ConnectionRecord& r, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(r.work, sizeof r.work, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    (void)net::send_text(r.client.get(), r.work);
}

void send_dial_failed_page(conn::ConnectionRecord& r) {
    send_page(r, "%s<H2>Error :</H2><HR>RAS reports : %s", k504Head, dial::status_text());
}

const char* connect_reason(int error) {
    switch (error) {
        case platform::kWsaNetUnreachable: return "<B>Reason </B>: Network unreachable.";
        case platform::kWsaTimedOut: return "<B>Reason </B>: Connect timeout.";
        case platform::kWsaConnRefused: return "<B>Reason </B>: Connection refused.";
        case platform::kWsaHostUnreachable: return "<B>Reason </B>: Host unreachable.";
        default: return nullptr;
    }
}

// Sends a fresh cached object block by block.
void send_from_cache(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    for (;;) {
        const long n = cache::read_block(r, r.work, kRelayBlockSize);
        if (n <= 0) return;
        if (!net::send_all(r.client.get(), r.work, static_cast<std::size_t>(n))) {
            p.error = platform::last_socket_error();
            if (p.error != platform::kWsaConnReset)
                log::error(log::kErrProxySendClient, 1, p.error, "error sending data to client");
            return;
        }
    }
}

void set_timeouts(int fd, int minutes) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(minutes) * 60;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

int read_request_head(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    const int fd = r.client.get();
    HeadScan scan{};
    std::size_t received = 0;
    // Each pass receives at least one byte or ends; the head is at most
    // kHeadLimit bytes, so the loop is bounded.
    for (;;) {
        const int state = scan_request_head(p.request, received, scan);
        if (state == kHeadComplete) {
            finish_request_head(p, received, scan);
            return 1;
        }
        if (state == kHeadTooLong) {
            p.error = kErrorHeadTooLong;
            return 0;
        }
        const ssize_t n = ::recv(fd, p.request + received, kHeadLimit - received, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            p.error = platform::capture_socket_error();
            return 0;
        }
        if (n == 0) {
            p.error = 0;
            return 0;
        }
        received += static_cast<std::size_t>(n);
    }
}

int parse_request(conn::ConnectionRecord& r) {
    return parse_request_head(r.proxy, r.work, sizeof r.work, live_parse_settings());
}

const char* find_request_header(const conn::ConnectionRecord& r, const char* name) {
    return find_request_header(r.proxy, name);
}

void close_proxy_connection(conn::ConnectionRecord& r) {
    r.progress = 12;
    if (r.proxy.cacheable || r.proxy.cache_file.valid() || r.proxy.writing_cache) cache::finish(r);
    conn::close_server_socket(r);
    conn::close_client_socket(r);
}

int handle_connection(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    const auto& s = config::live();
    const int client = r.client.get();

    r.progress = 1;
    if (!read_request_head(r)) {
        if (p.error != platform::kWsaConnReset)
            log::error(log::kErrBadRequest, 1, platform::last_socket_error(), "bad http request");
        return close_and_stop(r);
    }

    r.progress = 2;
    if (!parse_request(r)) {
        if (p.error != platform::kWsaConnReset)
            log::error(log::kErrParseRequest, 1, p.error, "error in parsing http request");
        // The raw head as it came, then the end of the page.
        if (net::send_text(client, kParseErrorPage) && net::send_text(client, r.work))
            (void)net::send_text(client, "</pre>");
        return close_and_stop(r);
    }
    p.via_parent = s.ParentProxy[0] != '\0';
    r.progress = 3;

    // The administration pages do their own authentication.
    if (p.dest_port != s.AdminPort) {
        config::AuthRequest auth{p.scheme,
                                 p.host,
                                 p.path,
                                 p.version,
                                 find_request_header(p, "Proxy-Authorization"),
                                 find_request_header(p, "Authorization"),
                                 client,
                                 p.user};
        if (!config::proxy_authenticate(s.lists, auth)) {
            write_access_entry(r);
            return close_and_stop(r);
        }
    }

    r.progress = 4;
    if (p.refresh) {
        const unsigned port = p.dest_port;
        if (port == 21 || port == 70 || port == 80 || port == 443)
            send_page(r, "HTTP/1.0 301 Moved Permanently\r\nContent-Type: text/html\r\nLocation: %s://%s%s\r\n\r\n",
                      p.scheme, p.host, p.path);
        else
            send_page(r,
                      "HTTP/1.0 301 Moved Permanently\r\nContent-Type: text/html\r\nLocation: %s://%s:%u%s\r\n\r\n",
                      p.scheme, p.host, port, p.path);
        (void)cache::delete_by_key(r);
        return close_and_stop(r);
    }

    p.no_cache = find_request_header(p, "Pragma") != nullptr;
    if (!p.no_cache && find_request_header(p, "If-Modified-Since")) {
        // The browser's copy is taken as current without asking the origin.
        (void)net::send_text(client, kNotModified);
        return close_and_stop(r);
    }

    r.progress = 5;
    if (p.cacheable && !p.no_cache && cache::open_for_read(r)) {
        send_from_cache(r);
        return close_and_stop(r);
    }

    r.progress = 6;
    const char* target = p.host;
    std::uint16_t target_port = p.dest_port;
    if (p.via_parent) {
        target = s.ParentProxy;
        target_port = static_cast<std::uint16_t>(s.ParentProxyPort);
        // The parent fetches ftp and gopher addresses as an HTTP proxy.
        if (p.kind == conn::kKindFtp || p.kind == conn::kKindGopher) p.kind = conn::kKindHttp;
    }

    r.progress = 7;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(target_port);
    int dial_failed = 0;
    if (!dial::lookup_with_dial(target, &addr.sin_addr, &dial_failed)) {
        if (dial_failed)
            send_dial_failed_page(r);
        else
            send_page(r, "%s<H2><font COLOR=\"#FF0000\">Error :</font></H2><P> Host <B> %s </B> doesn't have DNS entry!",
                      k504Head, target);
        (void)net::send_error_detected_by(client);
        return close_and_stop(r);
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        p.error = platform::capture_socket_error();
        log::error(log::kErrProxySocket, 3, p.error, "can't create socket");
        if (p.error == platform::kWsaTooManyFiles || p.error == platform::kWsaNoBuffers)
            (void)net::send_text(client, kNoSocketPage);
        return close_and_stop(r);
    }
    conn::set_server_socket(r, platform::Socket(fd));

    r.progress = 8;
    dial_failed = 0;
    if (!net::connect_with_retry(fd, addr, r.dial_use, &dial_failed)) {
        p.error = platform::last_socket_error();
        if (dial_failed) {
            send_dial_failed_page(r);
            return close_and_stop(r);
        }
        const char* reason = connect_reason(p.error);
        if (!reason) log::error(log::kErrProxyConnect, 1, p.error, "connect to the host %s failed", p.host);
        send_page(r, "%s<H2><font COLOR=\"#FF0000\">Error :</font></H2><P> Can't connect to host <B>%s</B> on port <B>%hu</B>!<HR>%s",
                  k504Head, target, target_port, reason ? reason : "");
        (void)net::send_error_detected_by(client);
        return close_and_stop(r);
    }

    r.progress = 9;
    net::address_text(addr.sin_addr, p.server_text);
    set_timeouts(fd, s.Timeout);

    switch (p.kind) {
        case conn::kKindHttps:
            connect_tunnel(r);
            break;
        case conn::kKindFtp:
        case conn::kKindGopher:
            r.progress = 10;
            if (p.cacheable) (void)cache::open_for_write(r);
            if (p.kind == conn::kKindFtp) {
                (void)ftp_over_http(r);
                write_access_entry(r);
            } else {
                (void)gopher_over_http(r);
            }
            r.progress = 11;
            break;
        default:
            (void)http_relay(r);
            break;
    }
    close_proxy_connection(r);
    return 1;
}

}  // namespace kv::proxy
