#pragma once
// Not built yet: every call answers as if the feature were off.
// UDP mapped links and the SOCKS server's init/stop hooks.
namespace kv::gateways {
int start_udp_links();
void stop_udp_links();
int socks_init();
void socks_stop();
}  // namespace kv::gateways
