#pragma once
// The administration server: its own listener on AdminPort and one thread that
// serves requests one after another. Not built yet: starting succeeds and
// nothing listens.
namespace kv::admin {
[[nodiscard]] int start_admin_server();
void stop_admin_server();
}  // namespace kv::admin
