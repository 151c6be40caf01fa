#pragma once
// Turns a host name and port into a connected stream socket, in steps a
// service can take one by one (resolve, make the socket, connect) or at once
// (outbound_connect). Dialling on demand and the retry rules live here.
// Nothing here logs: each step returns 1, or 0 with a failure kind and the
// socket error kept as the thread's last socket error; the caller that knows
// what the failure means writes the one log entry and tells its client.
#include <netinet/in.h>

#include <atomic>
#include <cstddef>

#include "platform/socket.h"

namespace kv::net {

inline constexpr std::size_t kReasonSize = 300;

enum class OutboundFailure {
    kNone,
    kNoDnsEntry,  // the name did not resolve
    kDialFailed,  // a dial attempt for this connection failed
    kNoSocket,    // no socket could be made (descriptors or buffers)
    kConnect,     // the connect failed: the socket error tells how
};

// Resolves host into addr->sin_addr (with may_dial, dialling first when the
// name needs the line). addr's family and port are left to the caller.
[[nodiscard]] int resolve_host(const char* host, bool may_dial, sockaddr_in* addr, OutboundFailure* kind);

// A new stream socket for an outbound connect (kind kNoSocket on failure).
[[nodiscard]] int new_stream_socket(platform::Socket* out, OutboundFailure* kind);

// Connects fd to addr. With may_dial: retries a time-out up to ConnectRetry
// attempts and "no buffer space" up to 6, and asks the dial-up manager to
// dial when the network is unreachable and the window is open; *dial_use is
// set to 1 when the connection runs over the dial-up link. Without: one
// plain attempt.
[[nodiscard]] int connect_socket(int fd, const sockaddr_in& addr, bool may_dial, std::atomic<int>* dial_use,
                                 OutboundFailure* kind);

// The three steps and the reason text: 1 with a connected socket in *out; 0
// with the reason (reason_size bytes, when reason is not null).
[[nodiscard]] int outbound_connect(const char* host, unsigned short port, bool may_dial,
                                   platform::Socket* out, char* reason, std::size_t reason_size,
                                   std::atomic<int>* dial_use = nullptr);

// The text a user is shown for a failure: "Host \"%s\" doesn't have DNS
// entry!", "RAS reports : %s", "can't create socker", or the connect reason
// by socket error.
void failure_reason(OutboundFailure kind, int error, bool may_dial, const char* host, char* reason,
                    std::size_t reason_size);

// The reason for the connect errors every service names ("Connection
// refused." ...); null for any other error.
const char* known_connect_reason(int error);

// Dotted text of an IPv4 address into out (18 bytes).
void address_text(const in_addr& a, char out[18]);

}  // namespace kv::net
