#pragma once
// The one rule for writing a URL's port: the ports of the known schemes (FTP
// 21, Gopher 70, HTTP 80, HTTPS 443) are left out. A request line for a
// parent proxy writes 443 out: the parent must not take it for port 80.

namespace kv::net {

enum class UrlFor { kBrowserOrCache, kParentProxy };

inline bool port_left_out(unsigned port, UrlFor use = UrlFor::kBrowserOrCache) {
    return port == 21 || port == 70 || port == 80 || (port == 443 && use == UrlFor::kBrowserOrCache);
}

}  // namespace kv::net
