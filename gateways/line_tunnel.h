#pragma once
// Line tunnels: the Telnet, POP3, SMTP and news gateways and SMTP forwarding.
// Each accepts a client, finds its destination (fixed, typed at a prompt, or
// chosen by the client's address), connects and relays until a side closes.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "conn/connection_record.h"

namespace kv::gateways {

inline constexpr std::size_t kNegotiationStoreSize = 2048;
inline constexpr std::size_t kTelnetLineMax = 98;     // typed characters
inline constexpr std::size_t kPop3DialogueLine = 127;  // 126 characters + NUL
inline constexpr std::uint16_t kTelnetDefaultPort = 23;

// Connection handlers of the five rows; each closes both sockets.
int handle_telnet_gateway(conn::ConnectionRecord& r);
int handle_pop3_gateway(conn::ConnectionRecord& r);
int handle_smtp_gateway(conn::ConnectionRecord& r);
int handle_smtp_forward(conn::ConnectionRecord& r);
int handle_news_gateway(conn::ConnectionRecord& r);

// What the Telnet prompt read: the typed line and the negotiation bytes the
// client sent meanwhile, to be passed on to a Telnet destination.
struct TelnetInput {
    char line[kTelnetLineMax + 1]{};
    std::size_t line_len = 0;
    unsigned char store[kNegotiationStoreSize]{};
    std::size_t store_len = 0;
    bool echo = false;
};

// Reads the reply to the prompt byte by byte from fd, echoing typed bytes
// once the client asked for echo. 1 with the line; 0 when the client closed,
// the receive failed or timed out, or the line grew past 98 characters.
[[nodiscard]] int read_telnet_reply(int fd, TelnetInput* in);

// Splits a typed line into host and port ("host [port]", port 23 when none).
// 1 with both; 0 when the port typed is above 65535 or no host was typed.
[[nodiscard]] int parse_telnet_target(const char* line, char* host, std::size_t host_size, std::uint16_t* port);

// The destination of a forwarded mail connection: mail from the local
// server (its name resolved by lookup, compared by address) goes out to
// smtp1; every other client's mail goes to smtp2.
using AddressLookup = int (*)(const char* host, in_addr* out);
const char* smtp_forward_destination(const in_addr& client, const char* smtp1, const char* smtp2,
                                     AddressLookup lookup);

// The POP3 dialogue on the client socket: greets, answers until a USER line.
// 1 with the USER line (cut at its first "#") in user_line and, when a "#"
// was given, the host after it in host (else host is left as it was); 0 when
// the client quit, closed or sent a line over 126 characters.
[[nodiscard]] int run_pop3_dialogue(int fd, char* user_line, std::size_t user_size, char* host,
                                    std::size_t host_size);

}  // namespace kv::gateways
