#pragma once
// Crash points for the durability tests. In a test build,
// "KORVANET_TEST_KILL_POINT=name" makes the process kill itself with SIGKILL
// when it passes the named point (read once, at the first point passed);
// elsewhere a point does nothing.
namespace kv::platform {

void kill_point(const char* name);

}  // namespace kv::platform
