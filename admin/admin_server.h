#pragma once
// The administration server: its own listener on AdminPort and one thread that
// serves requests one after another.
#include <atomic>

namespace kv::admin {
// Loads the admin settings copy, opens the listener and starts the thread.
// 0 (with entries 1200/1201) when the listener or the thread cannot start, or
// when already started.
[[nodiscard]] int start_admin_server();
// Shuts the listener (and a request being served) down, waits for the thread,
// closes the listener. Does nothing when not started.
void stop_admin_server();

// How the configuration menu's Restart reaches the service host, which
// registers it at start: starts the restart, 1 when it started.
using RestartHook = int (*)(const std::atomic<int>* pending);
void set_restart_hook(RestartHook hook);
// 0 when no hook is registered or the restart could not start.
[[nodiscard]] int request_restart(const std::atomic<int>* pending);
}  // namespace kv::admin
