#include "gateways/ftp_gateway.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/line_io.h"
#include "net/listener.h"
#include "net/net_links.h"
#include "net/outbound_connect.h"
#include "net/relay.h"
#include "net/socket_options.h"
#include "net/stream_splice.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/fault_guard.h"
#include "platform/socket_error.h"

namespace kv::gateways {
namespace {

constexpr char kGreeting[] = "220 Korvanet FTP Gateway ready, enter username@host[:port]\r\n";
constexpr char kBye[] = "221 Bye\r\n";
constexpr char kNotUnderstood[] = "500 Command not understood.\r\n";
constexpr char kClosingLine[] = "421 Closing connection\r\n";
constexpr char kServerClosed[] = "Server closed connection.";
constexpr char kNoService[] = "Sevice not available.";
constexpr char kBadPort[] = "Failed to scan port information.";
constexpr char kNoDataConnection[] = "Cannot create data connection.";

constexpr std::size_t kRelayBufferSize = 8192;
constexpr std::size_t kFailureTextSize = 300;
constexpr std::size_t kCommandSize = kFtpLineMax + 1;
// Room for a client line of 200 characters with its CR LF, and one more
// byte, so that a 201st character is seen rather than taken for a cut.
constexpr std::size_t kClientReadSize = kFtpLineMax + 3;
// A greeting is not passed on, so nothing else would end a server that
// greets forever.
constexpr int kGreetingLinesMax = 500;
constexpr int kNoLineLimit = 0;

// Progress points, reported when the handler faults.
constexpr int kPointLogin = 1;
constexpr int kPointConnecting = 2;
constexpr int kPointServerGreeting = 3;
constexpr int kPointCommands = 4;
constexpr int kPointDataWait = 5;
constexpr int kPointDataRelay = 6;

enum class End { kSilent, kBye, kFailure };
enum class Next { kReply, kCommand, kEnd };

struct Session {
    FtpLogin login;
    sockaddr_in server_addr{};   // the server's control address
    sockaddr_in data_target{};   // where the gateway connects for a transfer
    bool passive = false;
    long long timeout_ms = 0;
    long long data_wait_ms = 0;
    char command[kCommandSize]{};
    char failure[kFailureTextSize]{};
    End end = End::kSilent;
};

Next fail(Session& s, const char* text) {
    platform::copy_bounded(s.failure, text);
    s.end = End::kFailure;
    return Next::kEnd;
}

Next quietly(Session& s) {
    s.end = End::kSilent;
    return Next::kEnd;
}

// How long a transfer waits for its data peer. Test builds can shorten it,
// since Timeout counts in minutes.
long long data_wait_ms(long long timeout_ms) {
#ifdef KV_TEST_BUILD
    if (const char* text = std::getenv("KORVANET_TEST_FTP_DATA_WAIT_MS")) {
        long long ms = 0;
        if (platform::parse_decimal(text, 1, 3600000, &ms)) return ms;
    }
#endif
    return timeout_ms;
}

sockaddr_in local_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) a = sockaddr_in{};
    return a;
}

// Replies and commands go out as whole lines, one send each; a line must not
// wait for the ACK of the one before (150 and then 226 to a client that says
// nothing in between would wait out its delayed ACK).
void set_no_delay(int fd) {
    int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int send_line(int fd, const char* text) { return net::send_formatted(fd, "%s\r\n", text); }

void close_data_channel(conn::ConnectionRecord& r) {
    conn::set_socket(r, r.ftp.near_side, platform::Socket());
    conn::set_socket(r, r.ftp.far_side, platform::Socket());
    conn::set_socket(r, r.ftp.listener, platform::Socket());
}

// --- connecting to the server ---------------------------------------------------

const char* dial_text() {
    const char* text = net::net_links().dial_status_text ? net::net_links().dial_status_text() : nullptr;
    return text ? text : "";
}

void describe_connect_failure(const Session& s, int err, char* out, std::size_t size) {
    char suffix[64];
    if (const char* known = net::known_connect_reason(err))
        (void)platform::format_bounded(suffix, " : %s", known);
    else
        (void)platform::format_bounded(suffix, " : connect() failed, code %d.", err);
    (void)platform::format_bounded(out, size, "Can't connect to host %s%s", s.login.host, suffix);
}

bool connect_server(conn::ConnectionRecord& r, Session& s) {
    sockaddr_in& addr = s.server_addr;
    addr.sin_family = AF_INET;
    addr.sin_port = htons(s.login.port);
    net::OutboundFailure kind = net::OutboundFailure::kNone;
    if (!net::resolve_host(s.login.host, true, &addr, &kind)) {
        if (kind == net::OutboundFailure::kDialFailed)
            (void)platform::format_bounded(s.failure, "RAS reports : %s\n", dial_text());
        else
            (void)platform::format_bounded(s.failure, "Host %s doesn't have DNS entry!\n", s.login.host);
        return false;
    }
    platform::Socket server;
    if (!net::new_stream_socket(&server, &kind)) {
        const int err = platform::last_socket_error();
        log::error(log::kErrFtpGwSocket, 1, err, "can't create socket");
        (void)platform::format_bounded(s.failure, "socket() failed, code %d", err);
        return false;
    }
    conn::set_server_socket(r, std::move(server));
    if (!net::connect_socket(r.server.get(), addr, true, r.dial_use, &kind)) {
        const int err = platform::last_socket_error();
        if (kind == net::OutboundFailure::kDialFailed) {
            (void)platform::format_bounded(s.failure, "RAS reports : %s", dial_text());
        } else {
            describe_connect_failure(s, err, s.failure, sizeof s.failure);
            log::error(log::kErrFtpGwConnect, 1, err, "%s", s.failure);
        }
        return false;
    }
    return true;
}

// The server's greeting is the gateway's business: the client already had
// the gateway's own, and sees the server's answer to the login command next.
bool greet_server(conn::ConnectionRecord& r, Session& s) {
    const int server = r.server.get();
    net::set_io_timeouts(server, s.timeout_ms);
    set_no_delay(server);
    FtpReplyHead head;
    if (pass_ftp_reply(server, -1, r.work, false, true, kGreetingLinesMax, &head) != FtpReplyEnd::kPassed ||
        head.code != 220) {
        platform::copy_bounded(s.failure, kNoService);
        return false;
    }
    if (!send_line(server, s.login.command)) {
        platform::copy_bounded(s.failure, kServerClosed);
        return false;
    }
    return true;
}

// --- the data channel -------------------------------------------------------------

// A fresh listener for the next transfer; the one before, if any, is closed
// first: one data listener at a time. 1 with *port its port.
bool open_data_listener(conn::ConnectionRecord& r, std::uint16_t* port) {
    close_data_channel(r);
    platform::Socket listener = net::open_listener(0, SOCK_STREAM);
    if (!listener.valid()) return false;
    *port = ntohs(local_of(listener.get()).sin_port);
    conn::set_socket(r, r.ftp.listener, std::move(listener));
    return true;
}

bool connect_data_target(conn::ConnectionRecord& r, const Session& s) {
    platform::Socket far;
    net::OutboundFailure kind = net::OutboundFailure::kNone;
    if (!net::new_stream_socket(&far, &kind)) return false;
    net::set_io_timeouts(far.get(), s.timeout_ms);
    if (!net::connect_socket(far.get(), s.data_target, false, nullptr, &kind)) return false;
    conn::set_socket(r, r.ftp.far_side, std::move(far));
    return true;
}

// Waits for the data peer on the listener, at most s.data_wait_ms. Only a
// connection from `expected` is kept: any other is closed and the wait goes
// on, so a stranger can neither take the data nor feed it. A hang-up of
// either control connection (or a kill) ends the wait. 1 with the peer in
// the record's near side.
bool accept_data_peer(conn::ConnectionRecord& r, const Session& s, const in_addr& expected) {
    const int listener = r.ftp.listener.get();
    const std::uint32_t start = platform::tick_ms();
    net::AcceptPause pause;
    for (;;) {
        const std::uint32_t now = platform::tick_ms();
        const long long left = s.data_wait_ms - static_cast<long long>(now - start);
        if (left <= 0) return false;
        const bool resting = pause.resting(now);
        const int wait = static_cast<int>(left > 60000 ? 60000 : left);
        pollfd fds[3] = {{resting ? -1 : listener, POLLIN, 0}, {r.client.get(), POLLRDHUP, 0},
                         {r.server.get(), POLLRDHUP, 0}};
        const int ready = ::poll(fds, 3, resting ? net::shorter_wait(wait, pause.remaining_ms(now)) : wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents || fds[2].revents) return false;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
        if (!(fds[0].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
            platform::Socket peer(fd);
            if (from.sin_addr.s_addr != expected.s_addr) continue;  // a stranger: closed as peer goes
            pause.note_accepted();
            conn::set_socket(r, r.ftp.near_side, std::move(peer));
            return true;
        }
        if (net::accept_may_go_on(pause, errno)) continue;
        return false;
    }
}

// Moves one transfer's bytes from `from` to `to` until `from` closes. Data
// flows one way on an FTP data connection, so the bytes go straight through
// a kernel pipe; where that cannot be, the two-way relay copies them. A
// receiver that goes away ends the transfer silently, as does a reset or a
// time-out; other receive errors are logged once.
void move_data(conn::ConnectionRecord& r, int from, int to, int client_side, int server_side) {
    long long moved = 0;
    int error = 0;
    bool send_failed = false;
    const int done = net::splice_until_close(from, to, -1, &moved, &error, &send_failed);
    if (done < 0) {
        (void)net::relay(client_side, server_side, r.work, kRelayBufferSize);
        return;
    }
    if (done == 0 && !send_failed && error != platform::kWsaConnReset && error != platform::kWsaTimedOut)
        log::error(log::kErrSocket, 2, error, "socket error");
}

// One transfer: the peer that connects to the listener (the client in
// passive mode, the server in active mode) is relayed to the other side,
// reached by the gateway. The data channel is closed afterwards.
void relay_data(conn::ConnectionRecord& r, const Session& s) {
    r.progress = kPointDataWait;
    const in_addr expected = s.passive ? r.client_addr.sin_addr : s.server_addr.sin_addr;
    if (accept_data_peer(r, s, expected) && (s.passive || connect_data_target(r, s))) {
        r.progress = kPointDataRelay;
        const int near = r.ftp.near_side.get();
        const int far = r.ftp.far_side.get();
        net::set_io_timeouts(near, s.timeout_ms);
        const int client_side = s.passive ? near : far;
        const int server_side = s.passive ? far : near;
        if (ftp_transfer_uploads(s.command))
            move_data(r, client_side, server_side, client_side, server_side);
        else
            move_data(r, server_side, client_side, client_side, server_side);
    }
    close_data_channel(r);
}

// --- the command loop ---------------------------------------------------------------

// Passes the server's replies on until one that is not preliminary.
Next pass_replies(conn::ConnectionRecord& r, Session& s) {
    for (;;) {
        FtpReplyHead head;
        switch (pass_ftp_reply(r.server.get(), r.client.get(), r.work, false, false, kNoLineLimit, &head)) {
            case FtpReplyEnd::kPassed: break;
            case FtpReplyEnd::kServerClosed: return fail(s, kServerClosed);
            case FtpReplyEnd::kClientGone: return quietly(s);
        }
        if (head.first != '1') return Next::kCommand;
    }
}

// PORT: the client's data port, reached at the client's own control
// address (the four address numbers are checked but never connected to, so
// no client can aim the gateway at a third host); the server is told the
// gateway's address on its side and the new listener's port.
Next prepare_active(conn::ConnectionRecord& r, Session& s) {
    FtpHostPort hp;
    if (!parse_port_command(s.command, &hp)) return fail(s, kBadPort);
    s.data_target = r.client_addr;
    s.data_target.sin_port = htons(hp.port);
    s.passive = false;
    std::uint16_t port = 0;
    if (!open_data_listener(r, &port)) return fail(s, kNoDataConnection);
    format_port_command(local_of(r.server.get()).sin_addr, port, s.command, sizeof s.command);
    return Next::kCommand;
}

// PASV: a 227 that reads becomes the gateway's own, with its address on the
// client's side and the new listener's port; the data is then fetched from
// the 227 port at the server's control address. Any other answer passes on
// unchanged.
Next answer_passive(conn::ConnectionRecord& r, Session& s) {
    const int server = r.server.get();
    const int client = r.client.get();
    if (!read_ftp_server_line(server, r.work)) return fail(s, kServerClosed);
    FtpHostPort hp;
    if (!parse_passive_reply(r.work, &hp)) {
        FtpReplyHead head;
        switch (pass_ftp_reply(server, client, r.work, true, false, kNoLineLimit, &head)) {
            case FtpReplyEnd::kPassed: return Next::kCommand;
            case FtpReplyEnd::kServerClosed: return fail(s, kServerClosed);
            case FtpReplyEnd::kClientGone: return quietly(s);
        }
    }
    s.data_target = s.server_addr;
    s.data_target.sin_port = htons(hp.port);
    std::uint16_t port = 0;
    if (!open_data_listener(r, &port)) return fail(s, kNoDataConnection);
    char reply[kCommandSize];
    format_passive_reply(r.local_addr.sin_addr, port, reply, sizeof reply);
    if (!send_line(client, reply)) return quietly(s);
    s.passive = true;
    return Next::kCommand;
}

// A transfer command consumes the listener: a preliminary reply starts the
// data relay; any other reply closes the data channel unused.
Next start_transfer(conn::ConnectionRecord& r, Session& s) {
    const bool ready = r.ftp.listener.valid();
    if (ready && s.passive && !connect_data_target(r, s)) return fail(s, kNoDataConnection);
    FtpReplyHead head;
    switch (pass_ftp_reply(r.server.get(), r.client.get(), r.work, false, false, kNoLineLimit, &head)) {
        case FtpReplyEnd::kPassed: break;
        case FtpReplyEnd::kServerClosed: return fail(s, kServerClosed);
        case FtpReplyEnd::kClientGone: return quietly(s);
    }
    if (head.first != '1') {
        close_data_channel(r);
        return Next::kCommand;
    }
    if (ready) relay_data(r, s);
    return Next::kReply;
}

Next serve_command(conn::ConnectionRecord& r, Session& s) {
    const int client = r.client.get();
    if (!read_ftp_client_line(client, s.command)) return quietly(s);
    const FtpCommand what = classify_ftp_command(s.command);
    if (what == FtpCommand::kExtended) {
        // A 229 names a port on the server the client cannot reach; the
        // refusal makes clients fall back to PASV or PORT.
        return net::send_text(client, kNotUnderstood) ? Next::kCommand : quietly(s);
    }
    if (what == FtpCommand::kPort && prepare_active(r, s) == Next::kEnd) return Next::kEnd;
    if (!send_line(r.server.get(), s.command)) return fail(s, kServerClosed);
    platform::fault_point("ftp gateway command");
    switch (what) {
        case FtpCommand::kQuit:
            (void)net::send_text(client, kBye);
            s.end = End::kBye;
            return Next::kEnd;
        case FtpCommand::kPasv: return answer_passive(r, s);
        case FtpCommand::kTransfer: return start_transfer(r, s);
        case FtpCommand::kPort:
        case FtpCommand::kExtended:
        case FtpCommand::kOther: break;
    }
    return Next::kReply;
}

void run_commands(conn::ConnectionRecord& r, Session& s) {
    r.progress = kPointCommands;
    Next next = Next::kReply;
    while (next != Next::kEnd) {
        next = next == Next::kReply ? pass_replies(r, s) : serve_command(r, s);
        if (next != Next::kEnd) r.progress = kPointCommands;
    }
}

bool log_in(conn::ConnectionRecord& r, Session& s) {
    r.progress = kPointLogin;
    const int client = r.client.get();
    net::set_io_timeouts(client, s.timeout_ms);
    set_no_delay(client);
    if (!net::send_text(client, kGreeting) || !read_ftp_client_line(client, s.command)) {
        s.end = End::kSilent;
        return false;
    }
    if (!split_ftp_login(s.command, &s.login, s.failure, sizeof s.failure)) {
        s.end = End::kFailure;
        return false;
    }
    platform::copy_bounded(r.gateway.destination, s.login.host);
    r.progress = kPointConnecting;
    if (!connect_server(r, s)) {
        s.end = End::kFailure;
        return false;
    }
    r.progress = kPointServerGreeting;
    if (!greet_server(r, s)) {
        s.end = End::kFailure;
        return false;
    }
    return true;
}

}  // namespace

int read_ftp_server_line(int server_fd, char* work) {
    if (!net::read_line(server_fd, work)) return 0;
    // Longer lines are passed on cut; the rest of the line is dropped.
    (void)cut_ftp_line(work);
    return 1;
}

FtpReplyEnd pass_ftp_reply(int server_fd, int client_fd, char* work, bool have_line, bool greeting, int max_lines,
                           FtpReplyHead* head) {
    *head = FtpReplyHead{};
    for (int lines = 0;; ++lines) {
        if (max_lines > 0 && lines >= max_lines) return FtpReplyEnd::kServerClosed;
        if ((lines > 0 || !have_line) && !read_ftp_server_line(server_fd, work)) return FtpReplyEnd::kServerClosed;
        if (lines == 0) *head = FtpReplyHead{work[0], ftp_reply_code(work)};
        const bool complete = ftp_reply_complete(work, greeting);
        if (client_fd >= 0 && !send_line(client_fd, work)) return FtpReplyEnd::kClientGone;
        if (complete) return FtpReplyEnd::kPassed;
    }
}

int read_ftp_client_line(int client_fd, char* line) {
    char buffer[kClientReadSize];
    if (!net::read_line_within(client_fd, buffer, sizeof buffer, config::live().Timeout * 60000LL) ||
        std::strlen(buffer) > kFtpLineMax)
        return 0;
    platform::copy_bounded(line, buffer, kFtpLineMax + 1);
    return 1;
}

int ftp_gateway_serve(conn::ConnectionRecord& r) {
    Session s;
    s.timeout_ms = config::live().Timeout * 60000LL;
    s.data_wait_ms = data_wait_ms(s.timeout_ms);
    if (log_in(r, s)) run_commands(r, s);
    if (s.end == End::kFailure) {
        const int client = r.client.get();
        if (net::send_formatted(client, "421-Error : %s\r\n", s.failure)) (void)net::send_text(client, kClosingLine);
    }
    close_data_channel(r);
    conn::close_server_socket(r);
    conn::close_client_socket(r);
    return s.end == End::kBye ? 1 : 0;
}

}  // namespace kv::gateways
