#pragma once
// Connection threads. A thread serves one connection for that connection's
// whole life; when it ends it parks for a while, and the next connection is
// handed to a parked thread instead of a new one, which saves creating a
// thread (and its stack and signal stack) per connection.
namespace kv::host {

using ServeFn = void (*)(int slot_index);

// Runs serve(slot_index) on a parked thread, or on a new one with the
// connection stack size. 1 when a thread took it; 0 when none could start.
[[nodiscard]] int run_on_connection_thread(ServeFn serve, int slot_index);
// Ends every parked thread (shutdown); busy ones end after their connection.
void end_parked_threads();

}  // namespace kv::host
