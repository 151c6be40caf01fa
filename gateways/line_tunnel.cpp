#include "gateways/line_tunnel.h"

#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cctype>
#include <cstring>

#include "config/settings.h"
#include "dns/resolver.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/line_io.h"
#include "net/outbound_connect.h"
#include "net/read_deadline.h"
#include "net/relay.h"
#include "platform/bounded_text.h"
#include "platform/socket_error.h"

namespace kv::gateways {
namespace {

constexpr unsigned char kIac = 255;
constexpr unsigned char kWill = 251;
constexpr unsigned char kDont = 254;
constexpr unsigned char kDo = 253;
constexpr unsigned char kOptionEcho = 1;
constexpr std::size_t kRelayBufferSize = 8192;

// WILL ECHO, WILL SUPPRESS-GO-AHEAD: the gateway offers to echo, so a client
// that agrees stops echoing locally and sees its typing once.
constexpr unsigned char kTelnetOffer[] = {255, 251, 1, 255, 251, 3};
constexpr char kTelnetPrompt[] = "\r\nEnter : <host> [port] : ";
constexpr char kPop3Greeting[] = "+OK Korvanet pop3 tunnel ready\r\n";
constexpr char kPop3Invalid[] = "-ERR Invalid command; valid commands:  USER,  QUIT\r\n";
constexpr char kTelnetWord[] = "telnet";

constexpr std::uint16_t kTelnetPort = 23;
constexpr std::uint16_t kPop3Port = 110;
constexpr std::uint16_t kSmtpPort = 25;
constexpr std::uint16_t kNewsPort = 119;

void store_byte(TelnetInput* in, unsigned char b) {
    if (in->store_len < kNegotiationStoreSize) in->store[in->store_len++] = b;
}

int receive_byte(int fd, unsigned char* b) {
    const ssize_t n = ::recv(fd, b, 1, 0);
    if (n == 1 && !net::read_deadline_passed()) return 1;
    if (n != 0) (void)platform::capture_socket_error();
    return 0;
}

void set_receive_timeout(int fd, long long ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool starts_with_nocase(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

struct Tunnel {
    char host[256]{};
    std::uint16_t port{};
    char user_line[kPop3DialogueLine]{};
    TelnetInput telnet;
};

void set_destination(conn::ConnectionRecord& r, const char* host) {
    platform::copy_bounded(r.gateway.destination, host);
}

// Finds the destination, holds the dialogue and connects; on success the
// record's server socket is connected. On failure the client is closed.
bool open_tunnel(conn::ConnectionRecord& r, Tunnel& t) {
    const config::Settings& s = config::live();
    const int client = r.client.get();
    r.progress = 1;
    if (std::strcmp(t.host, kTelnetWord) == 0) {
        set_receive_timeout(client, s.Timeout * 60000LL);
        const net::ReadDeadline whole_prompt(s.Timeout * 60000LL);
        if (!net::send_all(client, kTelnetOffer, sizeof kTelnetOffer) || !net::send_text(client, kTelnetPrompt) ||
            !read_telnet_reply(client, &t.telnet) ||
            !parse_telnet_target(t.telnet.line, t.host, sizeof t.host, &t.port)) {
            conn::close_client_socket(r);
            return false;
        }
        set_destination(r, t.host);
    }
    if (t.port == kPop3Port) {
        r.progress = 2;
        if (!run_pop3_dialogue(client, t.user_line, sizeof t.user_line, t.host, sizeof t.host)) {
            conn::close_client_socket(r);
            return false;
        }
        set_destination(r, t.host);
    }

    r.progress = 3;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(t.port);
    net::OutboundFailure failure = net::OutboundFailure::kNone;
    if (!t.host[0] || !net::resolve_host(t.host, true, &addr, &failure)) {
        (void)net::send_formatted(client, "\r\nCan't lookup DNS name : %s\r\n", t.host);
        conn::close_client_socket(r);
        return false;
    }
    platform::Socket server;
    if (!net::new_stream_socket(&server, &failure)) {
        log::error(log::kErrTunnelSocket, 1, platform::last_socket_error(), "failed to socket to destination IP");
        conn::close_client_socket(r);
        return false;
    }
    conn::set_server_socket(r, std::move(server));
    r.progress = 4;
    if (!net::connect_socket(r.server.get(), addr, true, r.dial_use, &failure)) {
        const int err = platform::last_socket_error();
        // An unreachable host is the destination's state, not a fault here.
        if (err != platform::kWsaHostUnreachable)
            log::error(log::kErrTunnelConnect, 1, err, "failed to connect to destination IP");
        conn::close_server_socket(r);
        conn::close_client_socket(r);
        return false;
    }
    r.progress = 5;
    bool ok = true;
    if (t.port == kTelnetPort && t.telnet.store_len > 0)
        ok = net::send_all(r.server.get(), t.telnet.store, t.telnet.store_len) != 0;
    if (ok && t.port == kPop3Port) {
        // The client already had our greeting; the destination's own is dropped
        // and its answer to USER reaches the client through the relay.
        ok = net::read_line(r.server.get(), r.work) && net::send_text(r.server.get(), t.user_line) &&
             net::send_text(r.server.get(), "\r\n");
    }
    if (!ok) {
        conn::close_server_socket(r);
        conn::close_client_socket(r);
        return false;
    }
    return true;
}

int run_tunnel(conn::ConnectionRecord& r, const char* host, std::uint16_t port) {
    Tunnel t;
    platform::copy_bounded(t.host, host);
    t.port = port;
    // The Telnet row shows no destination until the user typed one.
    if (std::strcmp(host, kTelnetWord) != 0) set_destination(r, host);
    if (!open_tunnel(r, t)) return 0;
    r.progress = 6;
    (void)net::relay(r.client.get(), r.server.get(), r.work, kRelayBufferSize);
    conn::close_server_socket(r);
    conn::close_client_socket(r);
    return 1;
}

}  // namespace

int read_telnet_reply(int fd, TelnetInput* in) {
    enum class State { kData, kCommand, kOption };
    State state = State::kData;
    unsigned char command = 0;
    std::size_t mark = 0;  // store length before the current IAC
    bool echo_answered = false;
    in->line_len = 0;
    in->line[0] = '\0';
    for (;;) {
        unsigned char b = 0;
        if (!receive_byte(fd, &b)) return 0;
        switch (state) {
            case State::kCommand:
                command = b;
                store_byte(in, b);
                state = (b >= kWill && b <= kDont) ? State::kOption : State::kData;
                continue;
            case State::kOption:
                state = State::kData;
                if (b == kOptionEcho && !echo_answered) {
                    // The answer to our echo offer is ours alone: it never
                    // reaches the destination.
                    echo_answered = true;
                    in->store_len = mark;
                    if (command == kDo) in->echo = true;
                } else {
                    store_byte(in, b);
                }
                continue;
            case State::kData:
                break;
        }
        if (b == kIac) {
            mark = in->store_len;
            store_byte(in, b);
            state = State::kCommand;
            continue;
        }
        if (in->echo && !net::send_all(fd, &b, 1)) return 0;
        if (b == '\r') {
            unsigned char dropped = 0;  // the LF or NUL a Telnet client sends after CR
            return receive_byte(fd, &dropped);
        }
        if (b == '\n') return 1;
        if (b == 8) {
            if (in->line_len > 0) in->line[--in->line_len] = '\0';
            continue;
        }
        if (in->line_len >= kTelnetLineMax) return 0;
        in->line[in->line_len++] = static_cast<char>(b);
        in->line[in->line_len] = '\0';
    }
}

int parse_telnet_target(const char* line, char* host, std::size_t host_size, std::uint16_t* port) {
    const char* p = line;
    while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    while (*p && !std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p == start) return 0;
    std::size_t n = static_cast<std::size_t>(p - start);
    if (n >= host_size) n = host_size - 1;
    std::memcpy(host, start, n);
    host[n] = '\0';
    while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
    *port = kTelnetDefaultPort;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return 1;
    const char* digits = p;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    long long value = 0;
    if (!platform::parse_decimal(digits, static_cast<std::size_t>(p - digits), 0, 65535, &value)) return 0;
    *port = static_cast<std::uint16_t>(value);
    return 1;
}

const char* smtp_forward_destination(const in_addr& client, const char* smtp1, const char* smtp2,
                                     AddressLookup lookup) {
    in_addr local{};
    if (lookup(smtp2, &local) && local.s_addr == client.s_addr) return smtp1;
    return smtp2;
}

int run_pop3_dialogue(int fd, char* user_line, std::size_t user_size, char* host, std::size_t host_size) {
    if (!net::send_text(fd, kPop3Greeting)) return 0;
    // Room for CR and LF after the longest line, so the limit is the same with
    // or without the CR.
    char line[kPop3DialogueLine + 1];
    for (;;) {
        if (!net::read_line_within(fd, line, sizeof line, config::live().Timeout * 60000LL) ||
            std::strlen(line) >= kPop3DialogueLine)
            return 0;
        if (starts_with_nocase(line, "QUIT")) return 0;
        if (starts_with_nocase(line, "USER ")) break;
        if (!net::send_text(fd, kPop3Invalid)) return 0;
    }
    if (char* hash = std::strchr(line, '#')) {
        *hash = '\0';
        platform::copy_bounded(host, hash + 1, host_size);
    }
    platform::copy_bounded(user_line, line, user_size);
    return 1;
}

int handle_telnet_gateway(conn::ConnectionRecord& r) { return run_tunnel(r, kTelnetWord, kTelnetPort); }

int handle_pop3_gateway(conn::ConnectionRecord& r) {
    char host[64];
    platform::copy_bounded(host, config::live().POP3Server);
    return run_tunnel(r, host, kPop3Port);
}

int handle_smtp_gateway(conn::ConnectionRecord& r) {
    char host[64];
    platform::copy_bounded(host, config::live().SMTPServer);
    return run_tunnel(r, host, kSmtpPort);
}

int handle_smtp_forward(conn::ConnectionRecord& r) {
    const config::Settings& s = config::live();
    char smtp1[64];
    char smtp2[64];
    platform::copy_bounded(smtp1, s.SMTP1);
    platform::copy_bounded(smtp2, s.SMTP2);
    return run_tunnel(r, smtp_forward_destination(r.client_addr.sin_addr, smtp1, smtp2, dns::lookup), kSmtpPort);
}

int handle_news_gateway(conn::ConnectionRecord& r) {
    char host[64];
    platform::copy_bounded(host, config::live().NewsServer);
    return run_tunnel(r, host, kNewsPort);
}

}  // namespace kv::gateways
