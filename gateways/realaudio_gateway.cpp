#include "gateways/realaudio_gateway.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "gateways/realaudio_dialogue.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/line_io.h"
#include "net/outbound_connect.h"
#include "net/relay.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/socket_error.h"

namespace kv::gateways {
namespace {

constexpr long long kDialogueTimeoutMs = 30000;
constexpr std::size_t kRelayBufferSize = 8192;
constexpr std::size_t kDatagramSize = 65536;  // more than any datagram: nothing is passed on cut
constexpr std::size_t kForwarderStack = 64 * 1024;
// The forwarder is woken by shutdown(); the time limit only bounds a wait
// that a lost wake-up would otherwise make endless.
constexpr int kForwarderWaitMs = 1000;

// --- the player's socket as the dialogue's I/O -----------------------------------

int player_read(void* ctx, void* out, std::size_t n) {
    return net::read_exactly(static_cast<conn::ConnectionRecord*>(ctx)->client.get(), out, n);
}

int player_send(void* ctx, const void* data, std::size_t n) {
    return net::send_all(static_cast<conn::ConnectionRecord*>(ctx)->client.get(), data, n);
}

// The status page shows the destination as soon as the player names it.
void player_host(void* ctx, const char* host) {
    platform::copy_bounded(static_cast<conn::ConnectionRecord*>(ctx)->gateway.destination, host);
}

RealAudioIo player_io(conn::ConnectionRecord& r) { return RealAudioIo{player_read, player_send, player_host, &r}; }

void close_both(conn::ConnectionRecord& r) {
    conn::close_server_socket(r);
    conn::close_client_socket(r);
}

// --- connecting ------------------------------------------------------------------

// Makes the server socket and connects it to the player's destination; each
// failure is logged and answered with code 1.
bool connect_server(conn::ConnectionRecord& r, const RealAudioIo& io, const RealAudioRequest& req) {
    // The host as the error log may show it: a name from the wire could
    // carry line ends that would forge entries.
    char shown[kRealAudioHostSize];
    log::printable_copy(req.host, shown, sizeof shown);
    net::OutboundFailure failure = net::OutboundFailure::kNone;
    platform::Socket server;
    r.progress = 2;
    if (!net::new_stream_socket(&server, &failure)) {
        log::error(log::kErrRealAudioSocket, 1, platform::last_socket_error(), "failed to create socket");
        (void)send_realaudio_result(io, kRealAudioConnectFailure, kRealAudioTextNoSocket);
        return false;
    }
    conn::set_server_socket(r, std::move(server));
    r.progress = 3;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(req.port);
    if (!net::resolve_host(req.host, true, &addr, &failure)) {
        log::error(log::kErrRealAudioLookup, 1, platform::last_socket_error(), "can't look up name %s", shown);
        (void)send_realaudio_result(io, kRealAudioConnectFailure, kRealAudioTextNoName);
        return false;
    }
    r.progress = 4;
    if (!net::connect_socket(r.server.get(), addr, true, r.dial_use, &failure)) {
        const int err = platform::last_socket_error();
        // A server that does not answer in time is its own state, not a fault here.
        if (err != platform::kWsaTimedOut) log::error(log::kErrLinkConnect, 1, err, "failed to connect to %s", shown);
        (void)send_realaudio_result(io, kRealAudioConnectFailure, kRealAudioTextNoConnect);
        return false;
    }
    r.realaudio.server_addr = addr.sin_addr;
    return true;
}

// --- UDP mode --------------------------------------------------------------------

// Sends one datagram to the player; false when the forwarding must end.
bool pass_on(int out, const char* data, std::size_t len) {
    // A refusal reported here belongs to an earlier datagram (the player's
    // port was closed for a moment): this one is sent again, once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::send(out, data, len, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
        if (errno != ECONNREFUSED) break;
    }
    // A refused or full port loses that datagram, as UDP does; the stream goes on.
    return errno == ECONNREFUSED || errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR;
}

void* forward_datagrams(void* arg) {
    auto* f = static_cast<conn::RealAudioFields*>(arg);
    const int in = f->from_server.get();
    const int out = f->to_player.get();
    char* const buffer = f->datagram.get();
    while (!f->stop.load()) {
        pollfd p{in, POLLIN, 0};
        const int n = ::poll(&p, 1, kForwarderWaitMs);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0 || f->stop.load()) continue;
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t got =
            ::recvfrom(in, buffer, kDatagramSize, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            break;
        }
        // An empty datagram ends nothing; a stranger's is not the server's stream.
        if (got == 0 || from.sin_addr.s_addr != f->server_addr.s_addr) continue;
        if (!pass_on(out, buffer, static_cast<std::size_t>(got))) break;
    }
    return nullptr;
}

// The socket connected to the player's UDP port and the one bound to a port
// the system chooses; 1 with both in the record.
int open_datagram_sockets(conn::ConnectionRecord& r, std::uint16_t player_port) {
    // Port 0 is no port a player can receive on.
    if (player_port == 0) return 0;
    conn::RealAudioFields& f = r.realaudio;
    f.to_player.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    f.from_server.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!f.to_player.valid() || !f.from_server.valid()) return 0;
    sockaddr_in player{};
    player.sin_family = AF_INET;
    player.sin_addr = r.client_addr.sin_addr;
    player.sin_port = htons(player_port);
    if (::connect(f.to_player.get(), reinterpret_cast<const sockaddr*>(&player), sizeof player) != 0) return 0;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(f.from_server.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
}

std::uint16_t bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

// Reads the first request and the player's port, gives the server the
// request with the gateway's own port in place of the player's, and starts
// the forwarder. false when the connection must close without a relay.
bool start_udp_mode(conn::ConnectionRecord& r, const RealAudioIo& io, const RealAudioRequest& req) {
    r.progress = 6;
    // The work buffer holds the longest first request and the port after it.
    auto* request = reinterpret_cast<unsigned char*>(r.work);
    std::uint16_t player_port = 0;
    if (!read_realaudio_first_request(io, req.first_request_len, request, sizeof r.work, &player_port))
        return false;
    conn::RealAudioFields& f = r.realaudio;
    f.datagram.reset(new (std::nothrow) char[kDatagramSize]);
    if (!f.datagram || !open_datagram_sockets(r, player_port)) return false;
    const std::uint16_t port = bound_port(f.from_server.get());
    if (port == 0) return false;
    put_realaudio_port(request + req.first_request_len, port);
    if (!net::send_all(r.server.get(), request, req.first_request_len + 2u)) return false;
    r.progress = 7;
    // Without the forwarder the control connection still serves the player.
    if (!start_realaudio_forwarder(f))
        log::error(log::kErrRealAudioThread, 3, errno, "can't create thread for udp relay");
    return true;
}

void close_udp_mode(conn::RealAudioFields& f) {
    f.stop_forwarding();
    f.to_player.reset();
    f.from_server.reset();
    f.datagram.reset();
}

}  // namespace

int start_realaudio_forwarder(conn::RealAudioFields& f) {
#ifdef KV_TEST_BUILD
    // Lets the tests see a forwarder that can't start.
    if (std::getenv("KORVANET_TEST_REALAUDIO_NO_THREAD")) {
        errno = EAGAIN;
        return 0;
    }
#endif
    if (!f.datagram || !f.from_server.valid() || !f.to_player.valid()) {
        errno = EINVAL;
        return 0;
    }
    return f.forwarder.start(forward_datagrams, &f, kForwarderStack);
}

int handle_realaudio_gateway(conn::ConnectionRecord& r) {
    r.progress = 1;
    net::set_io_timeouts(r.client.get(), kDialogueTimeoutMs);
    const RealAudioIo io = player_io(r);
    RealAudioRequest req;
    if (!run_realaudio_dialogue(io, &req)) {
        log::error(log::kErrRealAudioDialog, 1, 0, "RealAudio proxy dialog failed");
        conn::close_client_socket(r);
        return 0;
    }
    if (!connect_server(r, io, req) || !send_realaudio_result(io, kRealAudioSuccess, kRealAudioTextSuccess)) {
        close_both(r);
        return 0;
    }
    r.progress = 5;
    if (!req.tcp_only && !start_udp_mode(r, io, req)) {
        close_udp_mode(r.realaudio);
        close_both(r);
        return 0;
    }
    r.progress = 8;
    (void)net::relay(r.client.get(), r.server.get(), r.work, kRelayBufferSize);
    close_udp_mode(r.realaudio);
    close_both(r);
    return 1;
}

}  // namespace kv::gateways
