#include "net/stream_splice.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <cerrno>

#include "platform/socket_error.h"

namespace kv::net {
namespace {

// Big enough that a fast stream moves in few calls; pages are only taken
// while bytes sit in the pipe.
constexpr int kPipeSize = 1024 * 1024;
constexpr std::size_t kMaxMove = kSpliceMaxMove;

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

// Splicing out of local (AF_UNIX) stream sockets does not wait for data the
// way TCP does; only TCP streams take this path.
bool is_tcp(int fd) {
    int protocol = 0;
    socklen_t len = sizeof protocol;
    return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 && protocol == IPPROTO_TCP;
}

SplicePipe::SplicePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    platform::File read_end(fds[0]);
    platform::File write_end(fds[1]);
    // A pipe left at its default size would move a bulk stream in small
    // pieces, slower than copying: such a pipe is given up.
    if (fcntl(write_end.get(), F_SETPIPE_SZ, kPipeSize) < 0) return;
    read_end_ = std::move(read_end);
    write_end_ = std::move(write_end);
}

long SplicePipe::fill(int from, bool nonblocking, std::size_t most) {
    for (;;) {
        ssize_t n = ::splice(from, nullptr, write_end_.get(), nullptr, most,
                             SPLICE_F_MOVE | (nonblocking ? SPLICE_F_NONBLOCK : 0u));
        if (n >= 0) {
            pending_ += static_cast<std::size_t>(n);
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        platform::capture_socket_error();
        return -1;
    }
}

long SplicePipe::drain(int to, bool nonblocking) {
    long total = 0;
    while (pending_ > 0) {
        ssize_t n = ::splice(read_end_.get(), nullptr, to, nullptr, pending_,
                             SPLICE_F_MOVE | (nonblocking ? SPLICE_F_NONBLOCK : 0u));
        if (n > 0) {
            pending_ -= static_cast<std::size_t>(n);
            total += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && would_block(errno) && nonblocking) {
            platform::set_last_socket_error(platform::kWsaTimedOut);
            return total > 0 ? total : -1;
        }
        platform::capture_socket_error();
        return -1;
    }
    return total;
}

int splice_until_close(int from, int to, long long limit, long long* moved, int* error, bool* send_failed) {
    *moved = 0;
    *error = 0;
    *send_failed = false;
    if (!is_tcp(from) || !is_tcp(to)) return -1;
    SplicePipe pipe;
    if (!pipe.valid()) return -1;
    bool first = true;
    for (;;) {
        if (limit >= 0 && *moved >= limit) return 1;
        const std::size_t want = limit < 0 ? kMaxMove
                                           : static_cast<std::size_t>(std::min<long long>(limit - *moved, kMaxMove));
        long n = pipe.fill(from, false, want);
        if (n < 0) {
            // A descriptor kind that cannot splice: the caller copies instead.
            if (first && errno == EINVAL) return -1;
            *error = platform::last_socket_error();
            return 0;
        }
        first = false;
        if (n == 0) return 1;
        // The pipe's write end is non-blocking but the socket is not: drain
        // blocks on the socket until every byte is delivered.
        const std::size_t held = pipe.pending();
        long out = pipe.drain(to, false);
        if (out < 0 || static_cast<std::size_t>(out) != held) {
            *moved += out > 0 ? out : 0;
            *error = platform::last_socket_error();
            *send_failed = true;
            return 0;
        }
        *moved += out;
    }
}

}  // namespace kv::net
