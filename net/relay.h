#pragma once
// The data phase of every tunnel: passes bytes both ways between two sockets
// until one side closes, an error happens, or nothing moved for Timeout
// minutes. Never closes either socket.
#include <cstddef>

namespace kv::net {

// 1 when a side closed or the idle time ran out; 0 on a socket error (entry
// 1105 unless it was a reset or a time-out).
[[nodiscard]] int relay(int client_fd, int server_fd, char* buffer, std::size_t size);

}  // namespace kv::net
