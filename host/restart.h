#pragma once
// The restart asked for by the administration pages: the running server is
// stopped in order and replaced by a new process of the same program.
#include <atomic>

namespace kv::host {

// How this process was started, for the way a restart leaves: as a service,
// and with "/hide" on its command line. Set by the shell before the start.
void set_restart_shell(bool service, bool hide);

// Starts the restart on a thread of its own. The thread sleeps 1000 ms, then
// waits (100 ms steps, at most kRestartWaitLimitMs) while *pending is nonzero,
// so the browser can fetch the page it was sent to first. Then:
// - as a service, it only marks the restart and sends SIGTERM to this
//   process: the shell stops and exits with kRestartExitStatus, and the
//   service manager starts the program again;
// - otherwise, unless the live HardRestart is on, it stops the server; starts
//   /proc/self/exe with this process's number (and "/hide" when this process
//   had it) as arguments (the new process waits for this one to end before it
//   takes the ports); and ends this process through its normal stop path
//   (SIGTERM to itself).
// 1 when the thread started.
[[nodiscard]] int start_restart(const std::atomic<int>* pending);

// A restart has asked this process to leave.
bool restart_requested();

inline constexpr int kRestartExitStatus = 75;

inline constexpr int kRestartWaitLimitMs = 60 * 1000;

}  // namespace kv::host
