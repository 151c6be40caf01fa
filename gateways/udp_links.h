#pragma once
// UDP mapped links and the SOCKS server's init/stop hooks.
namespace kv::gateways {
// Binds every UDP link of the links list and starts their relay thread
// (gateways/mapped_links.cpp). Always 1: a link that can't start is logged
// and left out.
int start_udp_links();
// Ends the relay thread, then closes every link's sockets.
void stop_udp_links();
int socks_init();
void socks_stop();
}  // namespace kv::gateways
