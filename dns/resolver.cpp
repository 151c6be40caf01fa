#include "dns/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

#include "platform/socket_error.h"

namespace kv::dns {
namespace {

int wsa_from_gai(int rc) {
    switch (rc) {
        case EAI_AGAIN: return platform::kWsaTryAgain;
        case EAI_FAIL: return platform::kWsaNoRecovery;
#ifdef EAI_NODATA
        case EAI_NODATA: return platform::kWsaNoData;
#endif
        default: return platform::kWsaHostNotFound;
    }
}

}  // namespace

int init_resolver() { return 1; }
void release_resolver() {}

int lookup(const char* host, in_addr* out) {
    if (!host || !*host) {
        platform::set_last_socket_error(platform::kWsaHostNotFound);
        return 0;
    }
    if (inet_pton(AF_INET, host, out) == 1) return 1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        platform::set_last_socket_error(wsa_from_gai(rc));
        return 0;
    }
    *out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return 1;
}

int reverse_lookup(const in_addr& addr, char* out, unsigned size) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    char name[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0)
        return 0;
    std::size_t n = std::strlen(name);
    if (n >= size) n = size - 1;
    std::memcpy(out, name, n);
    out[n] = '\0';
    return 1;
}

int start_forwarder() { return 1; }
void stop_forwarder() {}

}  // namespace kv::dns
