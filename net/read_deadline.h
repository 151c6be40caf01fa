#pragma once
// A whole time limit for reading one unit from a client (a request head, a
// handshake, a command or login line), beside the per-receive time-out: a
// client that sends a byte now and then, each within the receive time-out,
// is cut off all the same once the unit has taken longer than the limit.
// The limit belongs to the thread that armed it; the readers of line_io and
// the proxy's head reader look at it after each receive, which costs no
// system call. The last receive may still wait its own time-out, so a unit
// ends at most one receive time-out after its limit.
#include <cstdint>

namespace kv::net {

class ReadDeadline {
public:
    explicit ReadDeadline(long long ms);
    ~ReadDeadline();  // the limit armed before this one applies again
    ReadDeadline(const ReadDeadline&) = delete;
    ReadDeadline& operator=(const ReadDeadline&) = delete;

private:
    std::int64_t outer_;
};

// True when this thread's limit has passed; errno is then EAGAIN, as after a
// receive that timed out, so callers report it the same way.
bool read_deadline_passed();

}  // namespace kv::net
