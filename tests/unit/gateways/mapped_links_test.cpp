#include "gateways/mapped_links.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace kv::gateways {
namespace {

sockaddr_in from(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

TEST(UdpLinkDecision, RepliesByAddressClientsByPort) {
    struct Case {
        const char* ip;
        std::uint16_t port;
        bool client_known;
        std::uint16_t outward_for;
        UdpDecision expected;
    };
    constexpr std::uint16_t kLocal = 5300;
    constexpr Case kCases[] = {
        // From the destination's address, any port: a reply.
        {"192.0.2.9", 53, true, 4000, UdpDecision::kReplyToClient},
        {"192.0.2.9", 4000, true, 4000, UdpDecision::kReplyToClient},
        {"192.0.2.9", 53, false, 0, UdpDecision::kDropReply},
        // A first client: a new outward socket.
        {"10.0.0.2", 4000, false, 0, UdpDecision::kForwardNewSocket},
        // The same port again: the socket stays.
        {"10.0.0.2", 4000, true, 4000, UdpDecision::kForward},
        // Another client on the same port number shares the socket.
        {"10.0.0.3", 4000, true, 4000, UdpDecision::kForward},
        {"10.0.0.2", 4001, true, 4000, UdpDecision::kForwardNewSocket},
        // A client on the link's own port goes through the local socket.
        {"10.0.0.2", kLocal, false, 0, UdpDecision::kForward},
        {"10.0.0.2", kLocal, true, 4000, UdpDecision::kForward},
    };
    in_addr destination{};
    inet_pton(AF_INET, "192.0.2.9", &destination);
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        EXPECT_EQ(udp_link_decision(destination, c.client_known, c.outward_for, kLocal, from(c.ip, c.port)),
                  c.expected)
            << "row " << i;
    }
}

}  // namespace
}  // namespace kv::gateways
