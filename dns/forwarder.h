#pragma once
// The DNS forwarder: UDP port 53 on every interface, for the local network's
// clients that resolve names themselves. Each query goes to DnsServer with an
// ID of the forwarder's own; the answer goes back to its client with the
// client's ID restored. One thread owns the socket and the table.
namespace kv::dns {

inline constexpr unsigned kForwarderStack = 64 * 1024;
// A whole datagram: nothing is ever passed on cut.
inline constexpr unsigned kDatagramSize = 65536;

// Opens the listener and starts the thread; 1 on success. Logs 1702 or 1703.
int start_forwarder();
// Stops the thread and closes the socket; nothing when it never started.
void stop_forwarder();

}  // namespace kv::dns
