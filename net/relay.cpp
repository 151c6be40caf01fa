#include "net/relay.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "log/error_codes.h"
#include "log/logs.h"
#include "net/net_links.h"
#include "net/socket_options.h"
#include "net/stream_splice.h"
#include "platform/socket_error.h"

namespace kv::net {
namespace {

enum class Pass { kMoved, kNothing, kClosed, kFailed };

void prepare(int fd, int timeout_ms) {
    // Whole seconds, as the relay has always set them.
    set_io_timeouts(fd, timeout_ms / 1000 * 1000LL);
    // A tunnel must add no delay of its own to request/response traffic.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

in_addr_t local_address(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? a.sin_addr.s_addr : 0;
}

// Sends everything, waiting for room when the peer is slow.
bool send_whole(int fd, const char* data, std::size_t n, int timeout_ms) {
    while (n > 0) {
        ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            data += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            int r = ::poll(&p, 1, timeout_ms);
            if (r > 0) continue;
            if (r == 0) {
                platform::set_last_socket_error(platform::kWsaTimedOut);
                return false;
            }
            if (errno == EINTR) continue;
        }
        platform::capture_socket_error();
        return false;
    }
    return true;
}

// Moves what is waiting on `from` to `to`; *full set when it filled the buffer.
Pass pass_once(int from, int to, char* buffer, std::size_t size, int timeout_ms, bool* full) {
    ssize_t r = ::recv(from, buffer, size, MSG_DONTWAIT);
    if (r > 0) {
        if (static_cast<std::size_t>(r) == size) *full = true;
        return send_whole(to, buffer, static_cast<std::size_t>(r), timeout_ms) ? Pass::kMoved : Pass::kFailed;
    }
    if (r == 0) return Pass::kClosed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Pass::kNothing;
    platform::capture_socket_error();
    return Pass::kFailed;
}

constexpr int kBulkRounds = 8;
constexpr long kBulkPiece = 64 * 1024;

// Waits for the polled sockets: 1 when one is ready, 0 when the idle time ran
// out, -1 on failure (socket error captured).
int wait_ready(pollfd* fds, int timeout_ms) {
    for (;;) {
        const int ready = ::poll(fds, 2, timeout_ms);
        if (ready > 0) return 1;
        if (ready == 0) return 0;
        if (errno == EINTR) continue;
        platform::capture_socket_error();
        return -1;
    }
}

// Delivers what a pipe still holds, waiting for room up to the idle limit.
bool flush(SplicePipe& pipe, int to, int timeout_ms) {
    while (pipe.pending() > 0) {
        long n = pipe.drain(to, true);
        if (n > 0) continue;
        if (platform::last_socket_error() != platform::kWsaTimedOut) return false;
        pollfd p{to, POLLOUT, 0};
        int r = ::poll(&p, 1, timeout_ms);
        if (r == 0) return false;
        if (r < 0 && errno != EINTR) return false;
    }
    return true;
}

// Both directions through kernel pipes: no copy through user space.
// Returns 1 (closed or idle), 0 (failure), -1 (splicing unsupported here).
int relay_spliced(int client_fd, int server_fd, int timeout_ms, in_addr_t client_local, in_addr_t server_local) {
    if (!is_tcp(client_fd) || !is_tcp(server_fd)) return -1;
    SplicePipe up, down;  // client to server, server to client
    if (!up.valid() || !down.valid()) return -1;
    bool moved_any = false;
    for (;;) {
        const auto client_events = static_cast<short>((up.pending() == 0 ? POLLIN : 0) | (down.pending() ? POLLOUT : 0));
        const auto server_events = static_cast<short>((down.pending() == 0 ? POLLIN : 0) | (up.pending() ? POLLOUT : 0));
        // A socket nothing is wanted from stays out of the poll: its hang-up
        // or error would be reported at once on every pass, and the relay
        // would spin while the other side takes no more bytes.
        pollfd fds[2] = {{client_events ? client_fd : -1, client_events, 0},
                         {server_events ? server_fd : -1, server_events, 0}};
        const int ready = wait_ready(fds, timeout_ms);
        if (ready == 0) return 1;  // idle for Timeout minutes
        if (ready < 0) return 0;
        bool moved = false;
        struct Side {
            SplicePipe& pipe;
            int from, to;
            short from_events;
        } sides[2] = {{up, client_fd, server_fd, fds[0].revents}, {down, server_fd, client_fd, fds[1].revents}};
        for (Side& side : sides) {
            if (!side.from_events && side.pipe.pending() == 0) continue;
            // Keep a busy stream moving without a poll per block; stop when
            // either end has to wait.
            long filled = 0;
            for (int round = 0; round < kBulkRounds; ++round) {
                if (side.pipe.pending() == 0) {
                    long n = filled = side.pipe.fill(side.from, true);
                    if (n == 0) {
                        // One side closed: what the other still has to receive goes first.
                        for (Side& other : sides)
                            if (other.pipe.pending() > 0 && !flush(other.pipe, other.to, timeout_ms)) return 0;
                        return 1;
                    }
                    if (n < 0) {
                        if (!moved_any && !moved && errno == EINVAL) return -1;
                        if (platform::last_socket_error() != platform::kWsaTimedOut) return 0;
                        break;
                    }
                }
                long n = side.pipe.drain(side.to, true);
                if (n < 0 && platform::last_socket_error() != platform::kWsaTimedOut) return 0;
                if (n > 0) moved = true;
                // A small piece was all there was: wait rather than ask again.
                if (side.pipe.pending() > 0 || filled < kBulkPiece) break;
            }
        }
        if (moved) {
            moved_any = true;
            net_links().note_traffic(client_local);
            net_links().note_traffic(server_local);
        }
    }
}

constexpr int kBulkSeen = -2;

// Copies through the caller's buffer. With until_bulk, returns kBulkSeen
// after the first pass that filled the buffer: nothing is held back then, so
// the caller can go on with the pipes.
int relay_buffered(int client_fd, int server_fd, char* buffer, std::size_t size, int timeout_ms,
                   in_addr_t client_local, in_addr_t server_local, bool until_bulk) {
    for (;;) {
        pollfd fds[2] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}};
        const int ready = wait_ready(fds, timeout_ms);
        if (ready == 0) return 1;  // idle for Timeout minutes
        if (ready < 0) return 0;
        Pass a = Pass::kNothing, b = Pass::kNothing;
        bool full = false;
        if (fds[0].revents) a = pass_once(client_fd, server_fd, buffer, size, timeout_ms, &full);
        if (a != Pass::kClosed && a != Pass::kFailed && fds[1].revents)
            b = pass_once(server_fd, client_fd, buffer, size, timeout_ms, &full);
        if (a == Pass::kClosed || b == Pass::kClosed) return 1;
        if (a == Pass::kFailed || b == Pass::kFailed) return 0;
        if (a == Pass::kMoved || b == Pass::kMoved) {
            net_links().note_traffic(client_local);
            net_links().note_traffic(server_local);
        }
        if (until_bulk && full) return kBulkSeen;
    }
}

}  // namespace

int relay(int client_fd, int server_fd, char* buffer, std::size_t size) {
    const int timeout_ms = net_links().timeout_minutes * 60000;
    const in_addr_t client_local = local_address(client_fd);
    const in_addr_t server_local = local_address(server_fd);
    prepare(client_fd, timeout_ms);
    prepare(server_fd, timeout_ms);

    // Short exchanges (a request and its answer, keystrokes) are copied: the
    // pipes cost more to set up than they save. The first read that fills
    // the buffer moves the tunnel onto them.
    // The copying passes ask for non-blocking calls one by one; the pipes
    // need the sockets themselves non-blocking, for the time they are used.
    int result = relay_buffered(client_fd, server_fd, buffer, size, timeout_ms, client_local, server_local, true);
    const bool spliced = result == kBulkSeen;
    if (spliced) {
        set_blocking(client_fd, false);
        set_blocking(server_fd, false);
        result = relay_spliced(client_fd, server_fd, timeout_ms, client_local, server_local);
    }
    if (result < 0) result = relay_buffered(client_fd, server_fd, buffer, size, timeout_ms, client_local, server_local, false);
    if (!result) {
        int err = platform::last_socket_error();
        if (err != platform::kWsaConnReset && err != platform::kWsaTimedOut)
            log::error(log::kErrSocket, 2, err, "socket error");
    }
    if (spliced) {
        set_blocking(client_fd, true);
        set_blocking(server_fd, true);
    }
    return result;
}

}  // namespace kv::net
