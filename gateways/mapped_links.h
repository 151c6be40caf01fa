#pragma once
// Mapped links: a local port forwarded to a fixed host and port. TCP links
// are services of their own; every UDP link is served by one relay thread.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "conn/connection_record.h"

namespace kv::gateways {

inline constexpr std::size_t kMaxUdpLinks = 256;          // two sockets each
inline constexpr std::size_t kUdpDatagramSize = 65536;    // the largest datagram, never cut
inline constexpr std::size_t kLinkHostSize = 128;         // 127 characters + NUL

// The connection handler of a TCP link: finds the link by the port the
// connection came in on, connects to its destination and relays.
int handle_tcp_link(conn::ConnectionRecord& r);

// Binds every UDP link of the links list and starts their relay thread.
// Always 1: a link that can't start is logged and left out.
int start_udp_links();
// Ends the relay thread, then closes every link's sockets.
void stop_udp_links();

// What the relay thread does with one datagram of a UDP link, given what the
// link knows: the destination's address, whether a client is known, the
// client port the outward socket was made for (0: none) and the link's own
// port.
enum class UdpDecision {
    kReplyToClient,    // from the destination: to the last client
    kDropReply,        // from the destination, but no client yet
    kForward,          // from a client: to the destination as things are
    kForwardNewSocket  // from a client on a new port: new outward socket first
};
UdpDecision udp_link_decision(const in_addr& destination, bool client_known, std::uint16_t outward_for,
                              std::uint16_t local_port, const sockaddr_in& from);

}  // namespace kv::gateways
