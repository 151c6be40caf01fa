#include "gateways/udp_links.h"

namespace kv::gateways {
int socks_init() { return 1; }
void socks_stop() {}
}  // namespace kv::gateways
