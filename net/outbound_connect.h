#pragma once
// Turns a host name and port into a connected stream socket: resolve (with
// dial-on-demand when allowed), create, connect with the retry rules. Never
// logs; fills the caller's reason buffer and leaves the socket error as the
// thread's last socket error.
#include <netinet/in.h>

#include <atomic>
#include <cstddef>

#include "platform/socket.h"

namespace kv::net {

inline constexpr std::size_t kReasonSize = 300;

// 1 with a connected socket in *out; 0 with the reason (when reason is not
// null; reason_size bytes) and the socket error kept.
[[nodiscard]] int outbound_connect(const char* host, unsigned short port, bool may_dial,
                                   platform::Socket* out, char* reason, std::size_t reason_size,
                                   std::atomic<int>* dial_use = nullptr);

// Connects an existing socket to addr, retrying on time-out up to ConnectRetry
// attempts and on "no buffer space" up to 6 attempts, asking the dial-up
// manager to dial when the network is unreachable and the window is open.
// *dial_use is set to 1 when the connection runs over the dial-up link;
// *dial_failed when a dial attempt failed. 1 on success; 0 with the socket
// error kept.
[[nodiscard]] int connect_with_retry(int fd, const sockaddr_in& addr, std::atomic<int>* dial_use,
                                     int* dial_failed);

// The reason text for a failed connect by socket error (no host known: null).
void connect_failure_reason(int error, bool may_dial, const char* host, char* reason,
                            std::size_t reason_size);

// Dotted text of an IPv4 address into out (18 bytes).
void address_text(const in_addr& a, char out[18]);

}  // namespace kv::net
