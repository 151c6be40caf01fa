#pragma once
// The SOCKS 4 and 5 server: negotiation, CONNECT, BIND and (version 5) UDP
// ASSOCIATE, one connection per connection thread.
#include <cstdint>

#include "conn/connection_record.h"
#include "gateways/socks_messages.h"

namespace kv::gateways {

// Service start and stop: both forget the cached address of the Internet
// interface. Always succeed.
int socks_init();
void socks_stop();

// The SOCKS row's handler: negotiates, serves one command and closes the
// client socket (and whatever the command opened).
int handle_socks(conn::ConnectionRecord& r);

// What the negotiation learnt.
struct SocksNegotiation {
    SocksRequest request;
    bool authenticated{};                      // version 5 user name and password accepted
    char user[kSocksCredentialSize]{};
    char password[kSocksCredentialSize]{};
};

// Reads the version byte, the version 5 method negotiation with its
// sub-negotiation, and the request, answering the negotiation itself. 1 with
// a request to serve; 0 when the connection is to end: the client closed, a
// read timed out, a version is off, or a refusal was answered and logged.
[[nodiscard]] int read_socks_request(int fd, SocksNegotiation* n);

// The access list for version 5 CONNECT and BIND of an authenticated user.
// 1 to go on; 0 after answering code 2.
[[nodiscard]] int socks_permitted(int fd, const SocksNegotiation& n);

// Sends the reply of the request's version: v5_code 0 succeeded, 1 general
// failure, 2 not allowed (version 4: 90 for 0, else 91); address and port in
// network order. A version 4 reply goes out in two pieces: the rest is left
// out when the client already sent data or closed within 96 ms. 1 when sent.
[[nodiscard]] int send_socks_reply(int fd, std::uint8_t version, std::uint8_t v5_code, in_addr_t address,
                                   in_port_t port);

}  // namespace kv::gateways
