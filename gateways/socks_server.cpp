#include "gateways/socks_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "config/access_control.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "dns/resolver.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/line_io.h"
#include "net/listener.h"
#include "net/net_links.h"
#include "net/outbound_connect.h"
#include "net/read_deadline.h"
#include "net/relay.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/fault_guard.h"
#include "platform/socket_error.h"

namespace kv::gateways {
namespace {

constexpr long long kNegotiationTimeoutMs = 60000;
constexpr int kBindWaitMs = 60000;
constexpr int kAssociationTickMs = 2000;
constexpr int kV4RestWaitMs = 96;       // how long a version 4 client may take to speak first
constexpr std::size_t kRelayBufferSize = 8192;
constexpr std::size_t kDatagramSize = 65536;  // more than any IPv4 datagram: nothing is passed on cut
constexpr std::uint16_t kDnsPort = 53;

// Progress points, reported when the handler faults.
constexpr int kPointNegotiating = 1;
constexpr int kPointConnecting = 2;
constexpr int kPointBinding = 3;
constexpr int kPointAssociating = 4;
constexpr int kPointRelaying = 5;

// The Internet interface's address (network order), 0 until a BIND finds it.
// Every writer writes the same value.
std::atomic<in_addr_t> g_interface{0};

// One byte read exactly; 1 or 0.
int read_byte(int fd, unsigned char* out) { return net::read_exactly(fd, out, 1); }

// A length byte and that many bytes, as text (an RFC 1929 field).
int read_counted_text(int fd, char (&out)[kSocksCredentialSize], std::size_t* length) {
    unsigned char n = 0;
    if (!read_byte(fd, &n) || !net::read_exactly(fd, out, n)) return 0;
    out[n] = '\0';
    *length = n;
    return 1;
}

// The version 4 user ID up to its NUL, peeked then taken, so that whatever
// follows the NUL stays unread and is passed on as the client's data.
int read_user_id(int fd) {
    unsigned char id[kUserIdLimit + 1];
    std::size_t taken = 0;
    for (;;) {
        const ssize_t r = ::recv(fd, id + taken, sizeof id - taken, MSG_PEEK);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        bool complete = false, too_long = false;
        const std::size_t take = scan_user_id(id + taken, static_cast<std::size_t>(r), taken, &complete, &too_long);
        if (too_long) {
            log::error(log::kErrSocksUserId, 1, 0, "user ID is too long");
            return 0;
        }
        if (!net::read_exactly(fd, id + taken, take)) return 0;
        taken += take;
        if (complete) return 1;
    }
}

int read_v4_request(int fd, SocksNegotiation* n) {
    unsigned char bytes[kV4RequestSize];
    if (!net::read_exactly(fd, bytes, sizeof bytes)) return 0;
    if (!parse_v4_request(bytes, &n->request)) {
        log::error(log::kErrSocksCommand, 1, 0, "SOCKS v4 unknown command : %hu",
                   static_cast<unsigned short>(n->request.command));
        return 0;
    }
    return read_user_id(fd);
}

// Method negotiation and, with authentication on, the user name and password.
int negotiate_v5(int fd, SocksNegotiation* n) {
    unsigned char count = 0;
    unsigned char methods[255];
    if (!read_byte(fd, &count) || !net::read_exactly(fd, methods, count)) return 0;
    if (!config::live().SocksAuthentication) {
        const unsigned char answer[2] = {5, kMethodNone};
        return net::send_all(fd, answer, sizeof answer);
    }
    if (!offers_password_method(methods, count)) {
        const unsigned char answer[2] = {5, kMethodRefused};
        (void)net::send_all(fd, answer, sizeof answer);
        return 0;
    }
    const unsigned char answer[2] = {5, kMethodPassword};
    if (!net::send_all(fd, answer, sizeof answer)) return 0;
    unsigned char version = 0;  // the sub-negotiation's version is not looked at
    std::size_t user_length = 0, password_length = 0;
    if (!read_byte(fd, &version) || !read_counted_text(fd, n->user, &user_length) ||
        !read_counted_text(fd, n->password, &password_length))
        return 0;
    // A name or password holding a NUL names no user exactly: refused, never
    // compared by its first part.
    const bool whole = std::strlen(n->user) == user_length && std::strlen(n->password) == password_length;
    const bool accepted = whole && config::check_password(config::live().lists, n->user, n->password);
    platform::fault_point("socks password");
    const unsigned char status[2] = {1, static_cast<unsigned char>(accepted ? 0 : 1)};
    if (!net::send_all(fd, status, sizeof status) || !accepted) return 0;
    n->authenticated = true;
    return 1;
}

int read_v5_request(int fd, SocksNegotiation* n) {
    unsigned char head[kV5RequestSize];
    if (!net::read_exactly(fd, head, sizeof head)) return 0;
    SocksRequest& q = n->request;
    q.version = 5;
    q.command = head[1];
    q.address_type = head[3];
    if (q.command < kCommandConnect || q.command > kCommandUdpAssociate) {
        log::error(log::kErrSocksCommand, 1, 0, "SOCKS unsuported command : %hu", static_cast<unsigned short>(q.command));
        return 0;
    }
    if (q.address_type == kAddressIpv4) {
        unsigned char address[4];
        if (!net::read_exactly(fd, address, sizeof address)) return 0;
        set_ipv4_host(address, &q);
    } else if (q.address_type == kAddressName) {
        unsigned char length = 0;
        unsigned char name[255];
        if (!read_byte(fd, &length) || !net::read_exactly(fd, name, length)) return 0;
        set_name_host(name, length, &q);
    } else {
        // IPv6 is read whole and not served; other types cannot be read on.
        unsigned char address[16];
        if (q.address_type == kAddressIpv6) (void)net::read_exactly(fd, address, sizeof address);
        return 0;
    }
    unsigned char port[2];
    if (!net::read_exactly(fd, port, sizeof port)) return 0;
    q.port = static_cast<std::uint16_t>(port[0] << 8 | port[1]);
    return 1;
}

void fail(int fd, const SocksRequest& q) { (void)send_socks_reply(fd, q.version, kV5GeneralFailure, 0, 0); }

void set_no_delay(int fd) {
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in local_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    (void)getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a;
}

// What the status page shows for this connection; the port last, since the
// page shows nothing while it is 0.
void note_request(conn::ConnectionRecord& r, const SocksRequest& q) {
    platform::copy_bounded(r.gateway.destination, q.host);
    r.socks.command = q.command;
    r.gateway.dest_port = q.port;
}

void serve_connect(conn::ConnectionRecord& r, const SocksRequest& q) {
    const int fd = r.client.get();
    r.progress = kPointConnecting;
    if (!q.name_usable) {
        fail(fd, q);
        return;
    }
    const net::NetLinks& links = net::net_links();
    const bool may_dial = links.dial_window_open && links.dial_window_open();
    platform::Socket server;
    if (!net::outbound_connect(q.host, q.port, may_dial, &server, nullptr, 0, r.dial_use)) {
        fail(fd, q);
        return;
    }
    // Request and answer traffic must not wait for the peer's delayed ACK.
    set_no_delay(server.get());
    const sockaddr_in bound = local_of(server.get());
    conn::set_server_socket(r, std::move(server));
    if (!send_socks_reply(fd, q.version, kV5Succeeded, bound.sin_addr.s_addr, bound.sin_port)) return;
    r.progress = kPointRelaying;
    (void)net::relay(fd, r.server.get(), r.work, kRelayBufferSize);
}

// The address a peer outside reaches this machine by: the dial-up link's,
// the cached one, or the local end of a connection to the DNS server.
int interface_address(in_addr_t* out) {
    if (dial::connected() && dial::link_address() != 0) {
        *out = dial::link_address();
        return 1;
    }
    if (const in_addr_t cached = g_interface.load()) {
        *out = cached;
        return 1;
    }
    platform::Socket probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) {
        log::error(log::kErrSocksInterface, 0, platform::capture_socket_error(),
                   "not possible to get address of internet interface");
        return 0;
    }
    const char* dns_server = config::live().DnsServer;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(kDnsPort);
    if (!dns_server[0] || !dns::lookup(dns_server, &server.sin_addr)) {
        log::error(log::kErrSocksInterface2, 0, 0, "not possible to get address of internet interface");
        return 0;
    }
    for (;;) {
        if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) break;
        if (errno == EINTR) continue;
        log::error(log::kErrSocksInterface3, 0, platform::capture_socket_error(),
                   "not possible to get address of internet interface");
        return 0;
    }
    *out = local_of(probe.get()).sin_addr.s_addr;
    g_interface.store(*out);
    return 1;
}

// Waits up to 60 s for one peer on the BIND listener. 1 with it accepted;
// 0 when the time ran out, the client closed, or accepting failed.
int accept_peer(conn::ConnectionRecord& r, platform::Socket* peer, sockaddr_in* from) {
    const int listener = r.socks.listener.get();
    const std::uint32_t start = platform::tick_ms();
    net::AcceptPause pause;
    for (;;) {
        const std::uint32_t now = platform::tick_ms();
        const int left = kBindWaitMs - static_cast<int>(now - start);
        if (left <= 0) return 0;
        const bool resting = pause.resting(now);
        // The client's hang-up ends the wait; its data stays for the relay.
        pollfd fds[2] = {{r.client.get(), POLLRDHUP, 0}, {resting ? -1 : listener, POLLIN, 0}};
        const int ready = ::poll(fds, 2, resting ? net::shorter_wait(left, pause.remaining_ms(now)) : left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[0].revents) return 0;
        if (!(fds[1].revents & POLLIN)) continue;
        socklen_t len = sizeof *from;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(from), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
            peer->reset(fd);
            return 1;
        }
        if (net::accept_may_go_on(pause, errno)) continue;
        return 0;
    }
}

void serve_bind(conn::ConnectionRecord& r, const SocksRequest& q) {
    const int fd = r.client.get();
    r.progress = kPointBinding;
    in_addr_t address = 0;
    if (!interface_address(&address)) {
        fail(fd, q);
        return;
    }
    r.socks.listener = net::open_listener(0, SOCK_STREAM);
    if (!r.socks.listener.valid()) {
        fail(fd, q);
        return;
    }
    const sockaddr_in listening = local_of(r.socks.listener.get());
    if (!send_socks_reply(fd, q.version, kV5Succeeded, address, listening.sin_port)) return;
    platform::Socket peer;
    sockaddr_in from{};
    const int accepted = accept_peer(r, &peer, &from);
    r.socks.listener.reset();
    if (!accepted) return;
    set_no_delay(peer.get());
    conn::set_server_socket(r, std::move(peer));
    if (!send_socks_reply(fd, q.version, kV5Succeeded, from.sin_addr.s_addr, from.sin_port)) return;
    r.progress = kPointRelaying;
    (void)net::relay(fd, r.server.get(), r.work, kRelayBufferSize);
}

// The association's TCP connection while datagrams flow: false once the
// client closed it or it failed. What the client sends on it is discarded.
bool client_still_there(conn::ConnectionRecord& r) {
    const ssize_t n = ::recv(r.client.get(), r.work, sizeof r.work, MSG_DONTWAIT);
    if (n > 0) return true;
    if (n == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// A client datagram: its payload goes to the destination its header names.
void send_on(int udp, const unsigned char* datagram, std::size_t n) {
    UdpDestination to;
    if (parse_udp_header(datagram, n, &to) != UdpVerdict::kSend) return;
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(to.port);
    if (!dns::lookup(to.host, &dest.sin_addr)) return;
    (void)::sendto(udp, datagram + to.header_size, n - to.header_size, 0, reinterpret_cast<sockaddr*>(&dest),
                   sizeof dest);
}

void serve_udp_associate(conn::ConnectionRecord& r, const SocksRequest& q) {
    const int fd = r.client.get();
    r.progress = kPointAssociating;
    r.socks.udp.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (!r.socks.udp.valid() || ::bind(r.socks.udp.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        fail(fd, q);
        return;
    }
    r.socks.datagram.reset(new (std::nothrow) unsigned char[kUdpReplyHeaderSize + kDatagramSize]);
    if (!r.socks.datagram) {
        fail(fd, q);
        return;
    }
    const int udp = r.socks.udp.get();
    const in_port_t udp_port = local_of(udp).sin_port;
    if (!send_socks_reply(fd, q.version, kV5Succeeded, r.local_addr.sin_addr.s_addr, udp_port)) return;
    net::set_blocking(fd, false);
    unsigned char* const header = r.socks.datagram.get();
    unsigned char* const data = header + kUdpReplyHeaderSize;
    sockaddr_in client_udp{};
    bool client_known = false;
    for (;;) {
        // The TCP connection is watched as well, so the association ends as
        // soon as the client closes it, not at the next tick.
        pollfd fds[2] = {{udp, POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kAssociationTickMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if ((ready == 0 || fds[1].revents) && !client_still_there(r)) break;
        if (!(fds[0].revents & (POLLIN | POLLERR))) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(udp, data, kDatagramSize, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            break;
        }
        if (n == 0) continue;  // an empty datagram from anyone is no reason to end
        if (from.sin_addr.s_addr == r.client_addr.sin_addr.s_addr) {
            client_udp = from;
            client_known = true;
            send_on(udp, data, static_cast<std::size_t>(n));
        } else if (client_known) {
            unsigned char front[kUdpReplyHeaderSize];
            udp_reply_header(from.sin_addr.s_addr, from.sin_port, front);
            std::memcpy(header, front, sizeof front);
            (void)::sendto(udp, header, kUdpReplyHeaderSize + static_cast<std::size_t>(n), 0,
                           reinterpret_cast<sockaddr*>(&client_udp), sizeof client_udp);
        }
    }
}

}  // namespace

int socks_init() {
    g_interface.store(0);
    return 1;
}

void socks_stop() { g_interface.store(0); }

int send_socks_reply(int fd, std::uint8_t version, std::uint8_t v5_code, in_addr_t address, in_port_t port) {
    if (version == 5) {
        unsigned char reply[kV5ReplySize];
        v5_reply(v5_code, address, port, reply);
        return net::send_all(fd, reply, sizeof reply);
    }
    unsigned char reply[kV4ReplySize];
    v4_reply(v5_code == kV5Succeeded ? kV4Granted : kV4Failed, address, port, reply);
    if (!net::send_all(fd, reply, 2)) return 0;
    // The rest only to a client that waits for it: one that already speaks
    // (or has gone) would take the six bytes for data.
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, kV4RestWaitMs) < 0 && errno == EINTR) {
    }
    unsigned char next = 0;
    const ssize_t waiting = ::recv(fd, &next, 1, MSG_PEEK | MSG_DONTWAIT);
    if (waiting >= 0) return 1;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    return net::send_all(fd, reply + 2, sizeof reply - 2);
}

int read_socks_request(int fd, SocksNegotiation* n) {
    unsigned char version = 0;
    if (!read_byte(fd, &version)) return 0;
    const config::Settings& cfg = config::live();
    if (version == 4) return cfg.Socks4 ? read_v4_request(fd, n) : 0;
    if (version == 5) return cfg.Socks5 && negotiate_v5(fd, n) && read_v5_request(fd, n);
    log::error(log::kErrSocksVersion, 1, 0, "SOCKS version %hu not supported", static_cast<unsigned short>(version));
    return 0;
}

int socks_permitted(int fd, const SocksNegotiation& n) {
    const SocksRequest& q = n.request;
    if (q.version != 5 || q.command == kCommandUdpAssociate) return 1;
    if (config::socks_access(config::live().lists, q.host, q.port, n.authenticated ? n.user : nullptr, n.password))
        return 1;
    (void)send_socks_reply(fd, 5, kV5NotAllowed, 0, 0);
    return 0;
}

// The methods, the login and the request within one whole limit.
bool read_whole_request(int fd, SocksNegotiation* n) {
    const net::ReadDeadline whole(config::live().Timeout * 60000LL);
    return read_socks_request(fd, n);
}

int handle_socks(conn::ConnectionRecord& r) {
    const int fd = r.client.get();
    r.progress = kPointNegotiating;
    net::set_io_timeouts(fd, kNegotiationTimeoutMs);
    SocksNegotiation n;
    if (read_whole_request(fd, &n)) {
        note_request(r, n.request);
        if (socks_permitted(fd, n)) {
            switch (n.request.command) {
                case kCommandConnect: serve_connect(r, n.request); break;
                case kCommandBind: serve_bind(r, n.request); break;
                case kCommandUdpAssociate: serve_udp_associate(r, n.request); break;
                default: break;
            }
        }
    }
    r.socks.udp.reset();
    r.socks.listener.reset();
    conn::close_server_socket(r);
    conn::close_client_socket(r);
    return 1;
}

}  // namespace kv::gateways
