#pragma once
// The installation directory: the directory of the running program with a
// trailing '/', or KORVANET_HOME when that is set (so a checkout can keep its
// state under var/). Computed once.
namespace kv::platform {
const char* install_dir();
// The registry file: KORVANET_REGISTRY, else /etc/korvanet/registry.reg.
const char* registry_path();
}  // namespace kv::platform
