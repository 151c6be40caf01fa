#include "net/outbound_connect.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "dial/dial_manager.h"
#include "dns/resolver.h"
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

int plain_connect(int fd, const sockaddr_in& addr) {
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 1;
        if (errno == EINTR) continue;
        platform::capture_socket_error();
        return 0;
    }
}

}  // namespace

void address_text(const in_addr& a, char out[18]) {
    if (!inet_ntop(AF_INET, &a, out, 18)) out[0] = '\0';
}

void connect_failure_reason(int error, bool may_dial, const char* host, char* reason, std::size_t size) {
    switch (error) {
        case platform::kWsaNetUnreachable: set_reason(reason, size, "%s", "Network unreachable."); return;
        case platform::kWsaTimedOut: set_reason(reason, size, "%s", "Connect timeout."); return;
        case platform::kWsaConnRefused: set_reason(reason, size, "%s", "Connection refused."); return;
        case platform::kWsaHostUnreachable: set_reason(reason, size, "%s", "Host unreachable."); return;
        default:
            set_reason(reason, size, may_dial ? "connect to the host %s failed" : "failed to connect to \"%s\"",
                       host ? host : "");
    }
}

int connect_with_retry(int fd, const sockaddr_in& addr, std::atomic<int>* dial_use, int* dial_failed) {
    if (dial_use) dial_use->store(0);
    if (dial_failed) *dial_failed = 0;
    const config::Settings& cfg = config::live();
    int attempts = 0;
    int first_error = 0;
    for (;;) {
        ++attempts;
        if (plain_connect(fd, addr)) {
            sockaddr_in local{};
            socklen_t len = sizeof local;
            in_addr_t link = dial::link_address();
            if (link != 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
                local.sin_addr.s_addr == link && dial_use)
                dial_use->store(1);
            return 1;
        }
        int err = platform::last_socket_error();
        if (!first_error) first_error = err;
        if (err == platform::kWsaTimedOut) {
            if (attempts < cfg.ConnectRetry) continue;
            return 0;
        }
        if (err == platform::kWsaNoBuffers) {
            if (attempts >= kNoBufferAttempts) return 0;
            platform::sleep_ms(kNoBufferWaitMs);
            continue;
        }
        if (!dial::running() || dial::connected()) return 0;
        bool unreachable = err == platform::kWsaNetUnreachable || err == platform::kWsaHostUnreachable;
        if (unreachable && dial::window_open() && std::strcmp(cfg.ConnName, "(none)") != 0) {
            if (!dial::dial_and_wait() || !dial::connected()) {
                if (dial_failed) *dial_failed = 1;
                platform::set_last_socket_error(first_error);
                return 0;
            }
            if (dial_use) dial_use->store(1);
            return plain_connect(fd, addr);
        }
        platform::set_last_socket_error(first_error);
        return 0;
    }
}

int outbound_connect(const char* host, unsigned short port, bool may_dial, platform::Socket* out, char* reason,
                     std::size_t reason_size, std::atomic<int>* dial_use) {
    in_addr a{};
    int dial_failed = 0;
    int found = may_dial ? dial::lookup_with_dial(host, &a, &dial_failed) : dns::lookup(host, &a);
    if (!found) {
        int err = platform::last_socket_error();
        if (dial_failed)
            set_reason(reason, reason_size, "RAS reports : %s", dial::status_text());
        else
            set_reason(reason, reason_size, "Host \"%s\" doesn't have DNS entry!", host ? host : "");
        platform::set_last_socket_error(err);
        return 0;
    }
    platform::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        platform::capture_socket_error();
        set_reason(reason, reason_size, "%s", "can't create socker");
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr = a;
    int ok = may_dial ? connect_with_retry(s.get(), addr, dial_use, &dial_failed) : plain_connect(s.get(), addr);
    if (!ok) {
        int err = platform::last_socket_error();
        if (dial_failed)
            set_reason(reason, reason_size, "RAS reports : %s", dial::status_text());
        else
            connect_failure_reason(err, may_dial, host, reason, reason_size);
        s.reset();
        platform::set_last_socket_error(err);
        return 0;
    }
    *out = std::move(s);
    return 1;
}

}  // namespace kv::net
