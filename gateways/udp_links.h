#pragma once
// UDP mapped links and the SOCKS server's init/stop hooks. Not built yet.
namespace kv::gateways {
int start_udp_links();
void stop_udp_links();
int socks_init();
void socks_stop();
}  // namespace kv::gateways
