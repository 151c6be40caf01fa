#include "net/listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "log/error_codes.h"
#include "log/logs.h"
#include "platform/clock.h"
#include "platform/socket_error.h"

namespace kv::net {
namespace {

constexpr std::uint32_t kFirstRestMs = 100;
constexpr std::uint32_t kLongestRestMs = 1000;

}  // namespace

platform::Socket open_listener(std::uint16_t port, int type, std::uint32_t address) {
    platform::Socket s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        log::error(log::kErrSocketCreate, 3, platform::capture_socket_error(), "can't create socket");
        return platform::Socket();
    }
    // Only stream listeners reuse an address: a UDP socket with it would share
    // its port with a second one that sets it too, so "in use" would never show
    // and datagrams would go to either socket.
    if (type == SOCK_STREAM) {
        int on = 1;
        setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = platform::capture_socket_error();
        if (err == platform::kWsaAddressInUse)
            log::error(log::kErrPortInUse, 3, err, "the port number %d is already in use", port);
        else
            log::error(log::kErrBind, 3, err, "can't bind socket to address");
        return platform::Socket();
    }
    if (type == SOCK_STREAM) {
        // A deeper queue than the classic 5: bursts of browsers must not see
        // dropped SYNs and second-long retransmit stalls.
        if (::listen(s.get(), kListenBacklog) != 0) {
            log::error(log::kErrListen, 3, platform::capture_socket_error(), "can't listen on socket");
            return platform::Socket();
        }
        // Accepting never blocks an accept loop on a connection that vanished.
        fcntl(s.get(), F_SETFL, fcntl(s.get(), F_GETFL) | O_NONBLOCK);
    }
    return s;
}

bool accept_may_go_on(AcceptPause& pause, int err) {
    switch (classify_accept_error(err)) {
        case AcceptFailure::kNothingPending: return true;
        case AcceptFailure::kExhausted:
            if (pause.note_exhausted(platform::tick_ms()))
                log::error(log::kErrAccept, 3, platform::wsa_from_errno(err), "failed to accept connection");
            return true;
        case AcceptFailure::kOther: break;
    }
    log::error(log::kErrAccept, 3, platform::wsa_from_errno(err), "failed to accept connection");
    return false;
}

AcceptFailure classify_accept_error(int err) {
    switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case ECONNABORTED:
        case EINTR:
            return AcceptFailure::kNothingPending;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::kExhausted;
        default:
            return AcceptFailure::kOther;
    }
}

bool AcceptPause::note_exhausted(std::uint32_t now_ms) {
    const bool starts = !in_episode_;
    in_episode_ = true;
    step_ms_ = step_ms_ == 0 ? kFirstRestMs : (step_ms_ * 2 > kLongestRestMs ? kLongestRestMs : step_ms_ * 2);
    resting_ = true;
    until_ms_ = now_ms + step_ms_;
    return starts;
}

bool AcceptPause::resting(std::uint32_t now_ms) const { return remaining_ms(now_ms) > 0; }

int AcceptPause::remaining_ms(std::uint32_t now_ms) const {
    if (!resting_) return 0;
    // Tick arithmetic in unsigned: correct across the 32-bit wrap.
    const auto left = static_cast<std::int32_t>(until_ms_ - now_ms);
    return left > 0 ? left : 0;
}

int shorter_wait(int a_ms, int b_ms) {
    if (a_ms < 0) return b_ms;
    if (b_ms < 0) return a_ms;
    return a_ms < b_ms ? a_ms : b_ms;
}

}  // namespace kv::net
