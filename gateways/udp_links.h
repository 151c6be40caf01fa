#pragma once
// Not built yet: every call answers as if the feature were off.
// UDP mapped links.
namespace kv::gateways {
int start_udp_links();
void stop_udp_links();
}  // namespace kv::gateways
