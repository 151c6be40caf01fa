// Feeds arbitrary bytes to the SOCKS negotiation and request reader, as if a
// client had sent them, over a socket pair; a request that reads is answered
// as if its connect had failed (nothing goes out). With the first byte's top
// bit set, the rest is a datagram for the association header parser instead.
// Besides the sanitizers' checks, every result must be one a server can act on.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/config_lists.h"
#include "config/settings.h"
#include "gateways/socks_messages.h"
#include "gateways/socks_server.h"
#include "platform/socket.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void check_association(const std::uint8_t* data, std::size_t size) {
    kv::gateways::UdpDestination to;
    if (kv::gateways::parse_udp_header(data, size, &to) != kv::gateways::UdpVerdict::kSend) return;
    check(to.header_size <= size);
    check(std::memchr(to.host, '\0', sizeof to.host) != nullptr);
    check(to.host[0] != '\0');
    if (data[3] == kv::gateways::kAddressName) check(to.header_size == static_cast<std::size_t>(data[4]) + 7);
}

void check_negotiation(const std::uint8_t* data, std::size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    const kv::platform::Socket server(fds[0]), client(fds[1]);
    if (size > 0 && ::send(client.get(), data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return;
    ::shutdown(client.get(), SHUT_WR);
    kv::gateways::SocksNegotiation n;
    if (!kv::gateways::read_socks_request(server.get(), &n)) return;
    const kv::gateways::SocksRequest& q = n.request;
    check(q.version == 4 || q.version == 5);
    check(q.command >= 1 && q.command <= (q.version == 4 ? 2 : 3));
    check(std::memchr(q.host, '\0', sizeof q.host) != nullptr);
    if (q.name_usable) check(q.host[0] != '\0');
    if (n.authenticated) check(q.version == 5 && kv::config::live().SocksAuthentication);
    if (kv::gateways::socks_permitted(server.get(), n))
        (void)kv::gateways::send_socks_reply(server.get(), q.version, kv::gateways::kV5GeneralFailure, 0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        kv::config::reset_lists(kv::config::live().lists);
        return kv::config::add_user(kv::config::live().lists, "bob", "pw") >= 0;
    }();
    check(ready);
    if (size == 0) return 0;
    // First byte: the settings, or the association parser.
    if (data[0] & 0x80) {
        check_association(data + 1, size - 1);
        return 0;
    }
    kv::config::Settings& s = kv::config::live();
    s.Socks4 = data[0] & 1;
    s.Socks5 = (data[0] >> 1) & 1;
    s.SocksAuthentication = (data[0] >> 2) & 1;
    check_negotiation(data + 1, size - 1);
    return 0;
}
