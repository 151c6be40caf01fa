#pragma once
// The restart asked for by the administration pages: the running server is
// stopped in order and replaced by a new process of the same program.
namespace kv::host {

// Starts the restart on a thread of its own. The thread sleeps 1000 ms, then
// waits (100 ms steps, at most kRestartWaitLimitMs) while *pending is nonzero,
// so the browser can fetch the page it was sent to first; then, unless the live
// HardRestart is on, stops the server; starts /proc/self/exe with this
// process's number as its one argument (the new process waits for this one to
// end before it takes the ports); and ends this process through its normal
// stop path (SIGTERM to itself). 1 when the thread started.
[[nodiscard]] int start_restart(const volatile int* pending);

inline constexpr int kRestartWaitLimitMs = 60 * 1000;

}  // namespace kv::host
