#pragma once
// Start-up and shutdown of the whole server, in their fixed order.
namespace kv::host {

// 1 when the server runs; 0 when a step that stops the start failed.
[[nodiscard]] int start_server(bool as_service);
// Runs once per process; later calls do nothing.
void stop_server();

}  // namespace kv::host
