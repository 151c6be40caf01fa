#include "gateways/mapped_links.h"

#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "config/access_control.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "dns/resolver.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/datagram.h"
#include "net/outbound_connect.h"
#include "net/relay.h"
#include "platform/bounded_text.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "platform/thread.h"

namespace kv::gateways {
namespace {

constexpr std::size_t kRelayBufferSize = 8192;
constexpr std::size_t kRelayThreadStack = 64 * 1024;
constexpr int kWaitMs = 1000;

// --- TCP links ---------------------------------------------------------------

struct TcpTarget {
    char host[256]{};
    std::uint16_t port{};
};

bool find_tcp_link(std::uint16_t local_port, TcpTarget* out) {
    const config::Settings& s = config::live();
    std::shared_lock<std::shared_mutex> guard(s.lists.lock);
    for (const auto& link : s.lists.links) {
        if (strcasecmp(link.protocol, "TCP") == 0 && link.local_port == local_port) {
            platform::copy_bounded(out->host, link.host);
            out->port = static_cast<std::uint16_t>(link.remote_port);
            return true;
        }
    }
    return false;
}

// --- UDP links ---------------------------------------------------------------

struct UdpLink {
    platform::Socket local;
    platform::Socket outward;
    std::uint16_t outward_for = 0;  // the client port the outward socket serves; 0: none
    std::uint16_t local_port = 0;
    char host[kLinkHostSize]{};
    std::uint16_t dest_port = 0;
    sockaddr_in destination{};
    bool destination_known = false;
    bool failed = false;
    sockaddr_in client{};
    in_addr client_asked{};  // the local address the client sent to
    bool client_known = false;
};

struct UdpRelay {
    std::vector<std::unique_ptr<UdpLink>> links;
    std::unique_ptr<char[]> buffer;
    platform::Socket wake;  // eventfd: a stop ends the wait at once
    platform::Thread thread;
    std::atomic<bool> stop{false};
};

UdpRelay* g_udp = nullptr;

using net::Datagram;

// 1 with a datagram; 0 for an empty one or a receive error.
int receive_datagram(int fd, char* buffer, Datagram* d) {
    return net::receive_datagram(fd, buffer, kUdpDatagramSize, MSG_DONTWAIT, d) > 0;
}

// The replies leave from the address the client sent to.
void send_from(int fd, const char* data, std::size_t len, const sockaddr_in& to, const in_addr& from) {
    net::send_datagram_from(fd, data, len, to, from, MSG_DONTWAIT);
}

// Local clients pass the rules of connections: a secure interface asked, an
// allowed address. Others are dropped without a word.
bool admitted(const Datagram& d) { return config::datagram_admitted(config::live(), d.local, d.from.sin_addr); }

platform::Socket new_datagram_socket() {
    platform::Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (s.valid()) net::want_local_address(s.get());
    return s;
}

int bind_any(int fd, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

// A new outward socket on the client's own port when free, else any port.
// It is known by the client port it serves, not the port it got: with a
// fallback port, comparing the bound port would replace the socket on every
// datagram and lose the replies still on their way to the old one.
void replace_outward(UdpLink& link, std::uint16_t client_port) {
    link.outward.reset();
    link.outward_for = 0;
    platform::Socket s = new_datagram_socket();
    if (!s.valid()) return;
    if (!bind_any(s.get(), client_port) && !bind_any(s.get(), 0)) return;
    link.outward_for = client_port;
    link.outward = std::move(s);
}

bool resolve_destination(UdpLink& link) {
    if (link.destination_known) return true;
    in_addr a{};
    if (!dns::lookup(link.host, &a)) {
        link.failed = true;
        return false;
    }
    link.destination.sin_family = AF_INET;
    link.destination.sin_port = htons(link.dest_port);
    link.destination.sin_addr = a;
    link.destination_known = true;
    return true;
}

void handle_datagram(UdpLink& link, const char* data, const Datagram& d) {
    if (!resolve_destination(link)) return;
    const UdpDecision what =
        udp_link_decision(link.destination.sin_addr, link.client_known, link.outward_for, link.local_port, d.from);
    switch (what) {
        case UdpDecision::kDropReply: return;
        case UdpDecision::kReplyToClient:
            send_from(link.local.get(), data, d.len, link.client, link.client_asked);
            return;
        case UdpDecision::kForwardNewSocket:
            if (!admitted(d)) return;
            replace_outward(link, ntohs(d.from.sin_port));
            break;
        case UdpDecision::kForward:
            if (!admitted(d)) return;
            break;
    }
    link.client = d.from;
    link.client_asked = d.local;
    link.client_known = true;
    const int out = link.outward.valid() ? link.outward.get() : link.local.get();
    (void)::sendto(out, data, d.len, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&link.destination),
                   sizeof link.destination);
}

void* udp_relay_thread(void* arg) {
    auto* relay = static_cast<UdpRelay*>(arg);
    const std::size_t count = relay->links.size();
    std::vector<pollfd> fds(2 * count + 1);
    while (!relay->stop.load()) {
        for (std::size_t i = 0; i < count; ++i) {
            const UdpLink& link = *relay->links[i];
            fds[2 * i] = {link.local.get(), POLLIN, 0};
            // A negative descriptor is skipped by poll: no outward socket yet.
            fds[2 * i + 1] = {link.outward.valid() ? link.outward.get() : -1, POLLIN, 0};
        }
        fds[2 * count] = {relay->wake.get(), POLLIN, 0};
        const int n = ::poll(fds.data(), fds.size(), kWaitMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0 || relay->stop.load()) continue;
        // One datagram per readable link per turn, so one busy link can't
        // starve the others.
        for (std::size_t i = 0; i < count; ++i) {
            UdpLink& link = *relay->links[i];
            int fd = -1;
            if (fds[2 * i].revents & POLLIN) fd = link.local.get();
            else if (fds[2 * i + 1].revents & POLLIN) fd = link.outward.get();
            if (fd < 0) continue;
            Datagram d;
            if (!receive_datagram(fd, relay->buffer.get(), &d) || link.failed) continue;
            handle_datagram(link, relay->buffer.get(), d);
        }
    }
    return nullptr;
}

}  // namespace

UdpDecision udp_link_decision(const in_addr& destination, bool client_known, std::uint16_t outward_for,
                              std::uint16_t local_port, const sockaddr_in& from) {
    if (from.sin_addr.s_addr == destination.s_addr)
        return client_known ? UdpDecision::kReplyToClient : UdpDecision::kDropReply;
    const std::uint16_t port = ntohs(from.sin_port);
    if (port != outward_for && port != local_port) return UdpDecision::kForwardNewSocket;
    return UdpDecision::kForward;
}

int handle_tcp_link(conn::ConnectionRecord& r) {
    r.progress = 1;
    platform::Socket server;
    net::OutboundFailure failure = net::OutboundFailure::kNone;
    if (!net::new_stream_socket(&server, &failure)) {
        log::error(log::kErrLinkSocket, 1, platform::last_socket_error(), "failed to create socket");
        conn::close_client_socket(r);
        return 0;
    }
    conn::set_server_socket(r, std::move(server));
    TcpTarget target;
    if (!find_tcp_link(r.local_port, &target)) {
        log::error(log::kErrLinkPort, 1, 0, "Internal error; loc port not found");
        conn::close_server_socket(r);
        conn::close_client_socket(r);
        return 0;
    }
    platform::copy_bounded(r.gateway.destination, target.host);
    r.gateway.dest_port = target.port;
    r.progress = 2;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(target.port);
    if (!net::resolve_host(target.host, true, &addr, &failure)) {
        log::error(log::kErrLinkLookup, 1, platform::last_socket_error(), "can't look up name %s", target.host);
        conn::close_server_socket(r);
        conn::close_client_socket(r);
        return 0;
    }
    r.progress = 3;
    if (!net::connect_socket(r.server.get(), addr, true, r.dial_use, &failure)) {
        const int err = platform::last_socket_error();
        // A destination that does not answer in time is its own state.
        if (err != platform::kWsaTimedOut)
            log::error(log::kErrLinkConnect, 1, err, "failed to connect to %s", target.host);
        conn::close_server_socket(r);
        conn::close_client_socket(r);
        return 0;
    }
    r.progress = 4;
    (void)net::relay(r.client.get(), r.server.get(), r.work, kRelayBufferSize);
    conn::close_server_socket(r);
    conn::close_client_socket(r);
    return 1;
}

int start_udp_links() {
    if (g_udp) return 1;
    auto relay = std::make_unique<UdpRelay>();
    {
        const config::Settings& s = config::live();
        std::shared_lock<std::shared_mutex> guard(s.lists.lock);
        for (const auto& entry : s.lists.links) {
            if (strcasecmp(entry.protocol, "UDP") != 0) continue;
            if (relay->links.size() >= kMaxUdpLinks) break;
            platform::Socket sock = new_datagram_socket();
            // Without sockets no link can be served at all.
            if (!sock.valid()) return 1;
            const std::uint16_t port = static_cast<std::uint16_t>(entry.local_port);
            if (!bind_any(sock.get(), port)) {
                log::error(log::kErrUdpLinkStart, 4, platform::capture_socket_error(),
                           "can't start UDP mapped link on port %d. (socket 1)", entry.local_port);
                continue;
            }
            auto link = std::make_unique<UdpLink>();
            link->local = std::move(sock);
            link->local_port = port;
            platform::copy_bounded(link->host, entry.host);
            link->dest_port = static_cast<std::uint16_t>(entry.remote_port);
            relay->links.push_back(std::move(link));
        }
    }
    if (relay->links.empty()) return 1;
    relay->buffer.reset(new char[kUdpDatagramSize]);
    relay->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!relay->wake.valid() || !relay->thread.start(udp_relay_thread, relay.get(), kRelayThreadStack)) return 1;
    g_udp = relay.release();
    return 1;
}

void stop_udp_links() {
    if (!g_udp) return;
    g_udp->stop.store(true);
    const std::uint64_t one = 1;
    (void)!::write(g_udp->wake.get(), &one, sizeof one);
    g_udp->thread.join();
    delete g_udp;  // closes every link's sockets, now that no thread uses them
    g_udp = nullptr;
}

}  // namespace kv::gateways
