#pragma once
// Listening sockets and the rule every accept loop follows when the system
// runs out of descriptors or memory: rest the listener, log once, try again.
#include <netinet/in.h>

#include <cstdint>

#include "platform/socket.h"

namespace kv::net {

inline constexpr int kListenBacklog = 128;

// Opens a listener on all interfaces (or the one address, host order):
// SOCK_STREAM (listening, non-blocking accept) or SOCK_DGRAM. Logs 1101-1104 and returns an invalid socket on
// failure.
platform::Socket open_listener(std::uint16_t port, int type, std::uint32_t address = INADDR_ANY);

// What a failed accept() means for the loop that called it.
enum class AcceptFailure {
    kNothingPending,  // the client went away first, or a signal: look again
    kExhausted,       // out of descriptors, buffers or memory: rest the listener
    kOther,           // anything else
};
AcceptFailure classify_accept_error(int err);

// The rest of one listener while accepting fails for lack of resources. A
// pending connection keeps the listener readable, so polling it again at once
// would spin; it rests 100 ms, then twice as long on each further failure, up
// to 1 s. An episode runs from the first such failure to the next accepted
// connection, and is logged once.
class AcceptPause {
public:
    // After an exhausted accept at now_ms. True when this failure starts an
    // episode (the caller writes its one log entry then).
    bool note_exhausted(std::uint32_t now_ms);
    // After an accept succeeded: the episode is over.
    void note_accepted() { in_episode_ = false, resting_ = false, step_ms_ = 0; }
    // Whether the listener must stay out of the poll at now_ms.
    bool resting(std::uint32_t now_ms) const;
    // Milliseconds until the rest ends (0 when not resting): the poll's limit.
    int remaining_ms(std::uint32_t now_ms) const;

private:
    bool in_episode_ = false;
    bool resting_ = false;
    std::uint32_t until_ms_ = 0;
    std::uint32_t step_ms_ = 0;
};

// A connection's own listener (a SOCKS BIND, an FTP data port) after a failed
// accept: true to wait on (nothing pending, or the system out of resources:
// entry 3405 once per episode); false to give up, with entry 3405 written.
[[nodiscard]] bool accept_may_go_on(AcceptPause& pause, int err);

// The shorter of two poll limits, where -1 means none.
int shorter_wait(int a_ms, int b_ms);

}  // namespace kv::net
