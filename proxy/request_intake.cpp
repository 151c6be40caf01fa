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
#include "net/read_deadline.h"
#include "net/socket_options.h"
#include "platform/fault_guard.h"
#include "platform/socket_error.h"
#include "proxy/error_pages.h"
#include "proxy/http_relay.h"
#include "proxy/progress_points.h"
#include "proxy/protocol_engines.h"

namespace kv::proxy {
namespace {

ParseSettings live_parse_settings() {
    const auto& s = config::live();
    return ParseSettings{s.EnableCache, s.AdminPort, s.KeepAborted};
}

void log_cache_send_error(conn::ConnectionRecord& r) {
    r.proxy.error = platform::last_socket_error();
    if (r.proxy.error != platform::kWsaConnReset)
        log::error(log::kErrProxySendClient, 1, r.proxy.error, "error sending data to client");
}

// Sends a fresh cached object. The first block is read and sent, which is all
// of most objects; after it, a finished object goes straight from its file,
// and one still being written is followed block by block.
void send_from_cache(conn::ConnectionRecord& r) {
    for (bool first = true;; first = false) {
        long n = first ? cache::kUseReadBlock : cache::send_direct(r, r.client.get());
        if (n == cache::kUseReadBlock) {
            n = cache::read_block(r, r.work, kRelayBlockSize);
            if (n <= 0) return;
            if (net::send_all(r.client.get(), r.work, static_cast<std::size_t>(n))) continue;
            n = -1;
        }
        if (n < 0) log_cache_send_error(r);
        if (n <= 0) return;
    }
}

// Where the request goes: the origin, or the parent proxy.
struct Target {
    const char* host;
    std::uint16_t port;
    sockaddr_in addr;
};

bool read_head(conn::ConnectionRecord& r) {
    r.progress = kPointReadingRequest;
    if (read_request_head(r)) return true;
    // The entry carries this read's own error: a close or a head too long is
    // none, whatever an earlier connection on this thread left behind.
    const int error = r.proxy.error == kErrorHeadTooLong ? 0 : r.proxy.error;
    if (error != platform::kWsaConnReset) log::error(log::kErrBadRequest, 1, error, "bad http request");
    return false;
}

bool parse(conn::ConnectionRecord& r, const config::Settings& s) {
    auto& p = r.proxy;
    r.progress = kPointParsing;
    if (!parse_request(r)) {
        if (p.error != platform::kWsaConnReset)
            log::error(log::kErrParseRequest, 1, p.error, "error in parsing http request");
        send_parse_error_page(r.client.get(), r.work);
        return false;
    }
    p.via_parent = s.ParentProxy[0] != '\0';
    r.progress = kPointParsed;
    return true;
}

// The administration pages do their own authentication. A refused request
// is answered and written to the access log.
bool authenticate(conn::ConnectionRecord& r, const config::Settings& s) {
    auto& p = r.proxy;
    if (p.dest_port != s.AdminPort) {
        const config::AuthRequest auth{p.scheme,
                                       p.host,
                                       p.path,
                                       p.version,
                                       find_request_header(p, "Proxy-Authorization"),
                                       find_request_header(p, "Authorization"),
                                       p.user};
        config::AuthOutcome why;
        if (!config::proxy_authenticate(s.lists, auth, &why)) {
            send_refusal(r.client.get(), why, p.scheme, p.host, p.path);
            write_access_entry(r);
            return false;
        }
    }
    r.progress = kPointAuthenticated;
    platform::fault_point("proxy authenticated");
    return true;
}

// The answers the proxy gives without the origin: the ";refresh" redirect
// (which drops the cached copy), the 304 for a browser's own copy, and a
// fresh cached object. True when one was given.
bool answered_by_proxy(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    if (p.refresh) {
        send_refresh_redirect(r.client.get(), p.scheme, p.host, p.dest_port, p.path);
        (void)cache::delete_by_key(r);
        return true;
    }
    p.no_cache = find_request_header(p, "Pragma") != nullptr;
    if (!p.no_cache && find_request_header(p, "If-Modified-Since")) {
        // The browser's copy is taken as current without asking the origin.
        send_not_modified(r.client.get());
        return true;
    }
    r.progress = kPointCacheDecision;
    if (p.cacheable && !p.no_cache && cache::open_for_read(r)) {
        send_from_cache(r);
        return true;
    }
    return false;
}

void choose_target(conn::ConnectionRecord& r, const config::Settings& s, Target* target) {
    auto& p = r.proxy;
    r.progress = kPointTargetChosen;
    target->host = p.host;
    target->port = p.dest_port;
    if (p.via_parent) {
        target->host = s.ParentProxy;
        target->port = static_cast<std::uint16_t>(s.ParentProxyPort);
    }
    target->addr = sockaddr_in{};
    target->addr.sin_family = AF_INET;
    target->addr.sin_port = htons(target->port);
}

bool resolve_target(conn::ConnectionRecord& r, Target* target) {
    r.progress = kPointResolving;
    net::OutboundFailure failure = net::OutboundFailure::kNone;
    if (net::resolve_host(target->host, true, &target->addr, &failure)) return true;
    if (failure == net::OutboundFailure::kDialFailed)
        send_dial_failed_page(r.client.get(), dial::status_text(), true);
    else
        send_no_dns_entry_page(r.client.get(), target->host);
    return false;
}

// The server socket lives in the record before the connect, so a kill
// from the status page can wake a connect that waits.
bool open_server_socket(conn::ConnectionRecord& r) {
    platform::Socket server;
    net::OutboundFailure failure = net::OutboundFailure::kNone;
    if (!net::new_stream_socket(&server, &failure)) {
        r.proxy.error = platform::last_socket_error();
        log::error(log::kErrProxySocket, 3, r.proxy.error, "can't create socket");
        if (r.proxy.error == platform::kWsaTooManyFiles || r.proxy.error == platform::kWsaNoBuffers)
            send_no_socket_page(r.client.get());
        return false;
    }
    conn::set_server_socket(r, std::move(server));
    return true;
}

bool connect_target(conn::ConnectionRecord& r, const Target& target, const config::Settings& s) {
    auto& p = r.proxy;
    r.progress = kPointConnecting;
    net::OutboundFailure failure = net::OutboundFailure::kNone;
    if (!net::connect_socket(r.server.get(), target.addr, true, r.dial_use, &failure)) {
        p.error = platform::last_socket_error();
        if (failure == net::OutboundFailure::kDialFailed) {
            send_dial_failed_page(r.client.get(), dial::status_text(), false);
            return false;
        }
        const char* reason = net::known_connect_reason(p.error);
        if (!reason) log::error(log::kErrProxyConnect, 1, p.error, "connect to the host %s failed", p.host);
        send_connect_failed_page(r.client.get(), target.host, target.port, reason);
        return false;
    }
    r.progress = kPointConnected;
    net::address_text(target.addr.sin_addr, p.server_text);
    net::set_io_timeouts(r.server.get(), s.Timeout * 60000LL);
    return true;
}

void run_engine(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    // The parent fetches ftp and gopher addresses as an HTTP proxy. The
    // request keeps its kind, so its object is the one a direct fetch of the
    // same address uses (kind digit, TTL, size limit, statistics).
    if (p.via_parent && p.kind != conn::kKindHttps) {
        (void)http_relay(r);
        return;
    }
    switch (p.kind) {
        case conn::kKindHttps: connect_tunnel(r); return;
        case conn::kKindFtp:
        case conn::kKindGopher:
            r.progress = kPointEngineStart;
            if (p.cacheable) (void)cache::open_for_write(r);
            if (p.kind == conn::kKindFtp) {
                (void)ftp_over_http(r);
                write_access_entry(r);
            } else {
                (void)gopher_over_http(r);
            }
            r.progress = kPointEngineDone;
            return;
        default: (void)http_relay(r); return;
    }
}

}  // namespace

int read_request_head(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    const int fd = r.client.get();
    const net::ReadDeadline whole_head(config::live().Timeout * 60000LL);
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
        if (net::read_deadline_passed()) {
            p.error = platform::capture_socket_error();
            return 0;
        }
    }
}

int parse_request(conn::ConnectionRecord& r) {
    return parse_request_head(r.proxy, r.work, sizeof r.work, live_parse_settings());
}

const char* find_request_header(const conn::ConnectionRecord& r, const char* name) {
    return find_request_header(r.proxy, name);
}

void close_proxy_connection(conn::ConnectionRecord& r) {
    r.progress = kPointRelayOrClosing;
    if (r.proxy.cacheable || r.proxy.cache_file.valid() || r.proxy.writing_cache) cache::finish(r);
    conn::close_server_socket(r);
    conn::close_client_socket(r);
}

int handle_connection(conn::ConnectionRecord& r) {
    const config::Settings& s = config::live();
    Target target{};
    int ran = 0;
    if (read_head(r) &&
        parse(r, s) &&
        authenticate(r, s) &&
        !answered_by_proxy(r)) {
        choose_target(r, s, &target);
        if (resolve_target(r, &target) &&
            open_server_socket(r) &&
            connect_target(r, target, s)) {
            run_engine(r);
            ran = 1;
        }
    }
    close_proxy_connection(r);
    return ran;
}

}  // namespace kv::proxy
