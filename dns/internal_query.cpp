#include "dns/internal_query.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "dns/dns_message.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/net_links.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

namespace kv::dns {
namespace {

constexpr std::uint16_t kDnsPort = 53;
constexpr int kRcodeNoSuchName = 3;
constexpr int kRcodeServerFailure = 2;

std::atomic<std::uint16_t> g_last_query_id{0};

std::uint32_t elapsed_ms(std::chrono::steady_clock::time_point start) {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// The line is needed but down: give the dial-on-demand lookup its chance.
bool line_down() {
    const net::NetLinks& links = net::net_links();
    if (!links.connection_named) return false;
    return !(links.dial_connected && links.dial_connected());
}

}  // namespace

std::uint16_t next_query_id() {
    std::uint16_t seen = g_last_query_id.load();
    while (!g_last_query_id.compare_exchange_weak(seen, following_id(seen))) {
    }
    return following_id(seen);
}

int error_for_answer_code(int code) {
    switch (code) {
        case kRcodeNoSuchName: return platform::kWsaHostNotFound;
        case kRcodeServerFailure: return platform::kWsaTryAgain;
        case kCodeNoAnswer: return platform::kWsaNoData;
        default: return platform::kWsaNoRecovery;
    }
}

int internal_query(const char* server, const char* name, in_addr* out) {
    std::uint8_t query[kQuerySize];
    const std::uint16_t id = next_query_id();
    const std::size_t query_len = build_query(id, name, query);
    if (query_len == 0) {
        platform::set_last_socket_error(platform::kWsaHostNotFound);
        return 0;
    }
    platform::Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.valid()) {
        log::error(log::kErrResolverSocket, 3, platform::capture_socket_error(), "can't create socket for resolver");
        return 0;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDnsPort);
    if (inet_pton(AF_INET, server, &to.sin_addr) != 1) to.sin_addr.s_addr = htonl(INADDR_NONE);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        const int err = platform::capture_socket_error();
        if (err != platform::kWsaNetUnreachable && err != platform::kWsaHostUnreachable)
            log::error(log::kErrResolverConnect, 3, err, "can't connect to DNS server : %s\n", server);
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    std::size_t next_send = 0;
    std::uint8_t reply[kReceiveSize];
    while (true) {
        std::uint32_t now = elapsed_ms(start);
        while (next_send < std::size(kSendTimesMs) && now >= kSendTimesMs[next_send]) {
            if (kSendTimesMs[next_send] == kDialCheckMs && line_down()) {
                platform::set_last_socket_error(platform::kWsaHostNotFound);
                return 0;
            }
            if (::send(s.get(), query, query_len, 0) != static_cast<ssize_t>(query_len)) {
                log::error(log::kErrResolverSend, 3, platform::capture_socket_error(),
                           "can't send message to DNS server");
                return 0;
            }
            ++next_send;
        }
        if (now >= kQueryEndMs) {
            log::error(log::kErrResolverTimeout, 3, 0, "DNS server timeout");
            platform::set_last_socket_error(platform::kWsaTryAgain);
            return 0;
        }
        // Wait for an answer until the next send or the end, whichever comes first.
        const std::uint32_t until = next_send < std::size(kSendTimesMs) ? kSendTimesMs[next_send] : kQueryEndMs;
        pollfd p{s.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(until - now));
        if (ready <= 0) continue;
        const ssize_t n = ::recv(s.get(), reply, sizeof reply, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            log::error(log::kErrResolverReply, 2, platform::capture_socket_error(),
                       "Error reading reply from DNS server");
            return 0;
        }
        std::uint16_t reply_id = 0;
        // Anything without this query's ID is someone else's: wait on.
        if (!message_id(reply, static_cast<std::size_t>(n), &reply_id) || reply_id != id) continue;
        const int code = parse_answer(reply, static_cast<std::size_t>(n), out);
        if (code == 0) return 1;
        if (code != kRcodeNoSuchName && code != kCodeNoAnswer) {
            // The name may come from the wire (a SOCKS client's, a player's)
            // with line ends that would forge entries.
            char shown[kLongestQueryName + 1];
            log::printable_copy(name, shown, sizeof shown);
            log::error(log::kErrResolverCode, 3, 0, "DNS resolver returned code : %d (%s)", code, shown);
        }
        platform::set_last_socket_error(error_for_answer_code(code));
        return 0;
    }
}

}  // namespace kv::dns
