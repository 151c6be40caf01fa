#pragma once
// The socket options every service sets the same way.

namespace kv::net {

// Send and receive time-out of a blocking socket, in milliseconds (0: none).
void set_io_timeouts(int fd, long long ms);

// Blocking or non-blocking mode.
void set_blocking(int fd, bool blocking);

}  // namespace kv::net
