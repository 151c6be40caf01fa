#include "net/outbound_connect.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "net/net_links.h"
#include "platform/clock.h"
#include "platform/socket_error.h"

namespace kv::net {
namespace {

constexpr int kNoBufferAttempts = 6;
constexpr unsigned kNoBufferWaitMs = 400;

void set_reason(char* reason, std::size_t size, const char* fmt, const char* arg) {
    if (!reason || size == 0) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(reason, size, fmt, arg);
#pragma GCC diagnostic pop
}

int fail(OutboundFailure* kind, OutboundFailure what) {
    if (kind) *kind = what;
    return 0;
}

int plain_connect(int fd, const sockaddr_in& addr) {
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 1;
        if (errno == EINTR) continue;
        platform::capture_socket_error();
        return 0;
    }
}

// Connected: marks the slot when the connection left through the dial-up link.
void note_dial_use(int fd, std::atomic<int>* dial_use) {
    const in_addr_t link = net_links().link_address();
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (link != 0 && dial_use && getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
        local.sin_addr.s_addr == link)
        dial_use->store(1);
}

// The connect with its retry and dial-on-demand rules.
int connect_with_retry(int fd, const sockaddr_in& addr, std::atomic<int>* dial_use, OutboundFailure* kind) {
    const NetLinks& links = net_links();
    int first_error = 0;
    for (int attempts = 1;; ++attempts) {
        if (plain_connect(fd, addr)) {
            note_dial_use(fd, dial_use);
            return 1;
        }
        const int err = platform::last_socket_error();
        if (!first_error) first_error = err;
        if (err == platform::kWsaTimedOut) {
            if (attempts < links.connect_retry) continue;
            return fail(kind, OutboundFailure::kConnect);
        }
        if (err == platform::kWsaNoBuffers) {
            if (attempts >= kNoBufferAttempts) return fail(kind, OutboundFailure::kConnect);
            platform::sleep_ms(kNoBufferWaitMs);
            continue;
        }
        if (!links.dial_running() || links.dial_connected()) return fail(kind, OutboundFailure::kConnect);
        const bool unreachable = err == platform::kWsaNetUnreachable || err == platform::kWsaHostUnreachable;
        platform::set_last_socket_error(first_error);
        if (!unreachable || !links.dial_window_open() || !links.connection_named)
            return fail(kind, OutboundFailure::kConnect);
        if (!links.dial_and_wait()) {
            platform::set_last_socket_error(first_error);
            return fail(kind, OutboundFailure::kDialFailed);
        }
        // The wait ended without a line (WaitDial ran out, or nothing dialled):
        // no dial failed, so the connect's own error stands.
        if (!links.dial_connected()) {
            platform::set_last_socket_error(first_error);
            return fail(kind, OutboundFailure::kConnect);
        }
        if (dial_use) dial_use->store(1);
        return plain_connect(fd, addr) ? 1 : fail(kind, OutboundFailure::kConnect);
    }
}

}  // namespace

void address_text(const in_addr& a, char out[18]) {
    if (!inet_ntop(AF_INET, &a, out, 18)) out[0] = '\0';
}

const char* known_connect_reason(int error) {
    switch (error) {
        case platform::kWsaNetUnreachable: return "Network unreachable.";
        case platform::kWsaTimedOut: return "Connect timeout.";
        case platform::kWsaConnRefused: return "Connection refused.";
        case platform::kWsaHostUnreachable: return "Host unreachable.";
        default: return nullptr;
    }
}

void failure_reason(OutboundFailure kind, int error, bool may_dial, const char* host, char* reason,
                    std::size_t size) {
    if (!host) host = "";
    switch (kind) {
        case OutboundFailure::kNoDnsEntry: set_reason(reason, size, "Host \"%s\" doesn't have DNS entry!", host); return;
        case OutboundFailure::kDialFailed:
            set_reason(reason, size, "RAS reports : %s", net_links().dial_status_text());
            return;
        case OutboundFailure::kNoSocket: set_reason(reason, size, "%s", "can't create socker"); return;
        case OutboundFailure::kNone:
        case OutboundFailure::kConnect: break;
    }
    if (const char* known = known_connect_reason(error))
        set_reason(reason, size, "%s", known);
    else
        set_reason(reason, size, may_dial ? "connect to the host %s failed" : "failed to connect to \"%s\"", host);
}

int resolve_host(const char* host, bool may_dial, sockaddr_in* addr, OutboundFailure* kind) {
    const NetLinks& links = net_links();
    int dial_failed = 0;
    const int found = may_dial ? links.lookup_with_dial(host, &addr->sin_addr, &dial_failed)
                               : links.lookup(host, &addr->sin_addr);
    if (found) return 1;
    return fail(kind, dial_failed ? OutboundFailure::kDialFailed : OutboundFailure::kNoDnsEntry);
}

int new_stream_socket(platform::Socket* out, OutboundFailure* kind) {
    out->reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (out->valid()) return 1;
    platform::capture_socket_error();
    return fail(kind, OutboundFailure::kNoSocket);
}

int connect_socket(int fd, const sockaddr_in& addr, bool may_dial, std::atomic<int>* dial_use,
                   OutboundFailure* kind) {
    if (dial_use) dial_use->store(0);
    if (may_dial) return connect_with_retry(fd, addr, dial_use, kind);
    return plain_connect(fd, addr) ? 1 : fail(kind, OutboundFailure::kConnect);
}

int outbound_connect(const char* host, unsigned short port, bool may_dial, platform::Socket* out, char* reason,
                     std::size_t reason_size, std::atomic<int>* dial_use) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    platform::Socket s;
    OutboundFailure kind = OutboundFailure::kNone;
    if (resolve_host(host, may_dial, &addr, &kind) && new_stream_socket(&s, &kind) &&
        connect_socket(s.get(), addr, may_dial, dial_use, &kind)) {
        *out = std::move(s);
        return 1;
    }
    const int err = platform::last_socket_error();
    failure_reason(kind, err, may_dial, host, reason, reason_size);
    s.reset();
    platform::set_last_socket_error(err);
    return 0;
}

}  // namespace kv::net
