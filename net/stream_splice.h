#pragma once
// Zero-copy transfer between two sockets through a kernel pipe (splice), for
// bulk data that needs no look at its bytes: response bodies that are not
// being cached, and tunnels.
#include <cstddef>

#include "platform/socket.h"

namespace kv::net {

inline constexpr std::size_t kSpliceMaxMove = 1024 * 1024;

// A pipe that holds bytes on their way from one socket to another.
class SplicePipe {
public:
    // A pipe that cannot be made, or cannot be given its full size (out of
    // descriptors, or over the user's pipe-buffer allowance), is not valid:
    // the caller copies through user space instead.
    SplicePipe();
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;
    bool valid() const { return read_end_.valid(); }

    // Takes what `from` has (blocking unless nonblocking). Returns the bytes
    // taken, 0 when `from` closed, -1 on error (socket error captured; with
    // nonblocking, 10060 means "nothing there yet").
    long fill(int from, bool nonblocking, std::size_t most = kSpliceMaxMove);
    // Passes pending bytes on to `to`. Returns the bytes passed, -1 on error
    // (with nonblocking, 10060 means "no room yet").
    long drain(int to, bool nonblocking);
    std::size_t pending() const { return pending_; }

private:
    platform::File read_end_;
    platform::File write_end_;
    std::size_t pending_ = 0;
};

// Whether fd is a TCP socket (the only kind that splices reliably).
bool is_tcp(int fd);

// Moves what `from` sends to `to` until `from` closes or `limit` bytes have
// passed (limit < 0: no limit). Blocking sockets, their own time-outs apply.
// Returns 1 when `from` closed or the limit was reached and all bytes were
// delivered, 0 on failure (*error = socket error, *send_failed tells which
// side), -1 when splicing is not possible here (nothing was moved).
// *moved counts the bytes delivered to `to`.
int splice_until_close(int from, int to, long long limit, long long* moved, int* error, bool* send_failed);

}  // namespace kv::net
