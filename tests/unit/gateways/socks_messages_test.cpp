#include "gateways/socks_messages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kv::gateways {
namespace {

using Bytes = std::string;

in_addr_t addr(const char* dotted) { return inet_addr(dotted); }

TEST(SocksMessages, UdpHeaderTable) {
    struct Case {
        Bytes datagram;
        UdpVerdict verdict;
        const char* host;
        std::uint16_t port;
        std::size_t header;
    };
    const Case cases[] = {
        {Bytes("\0\0\0\1\x7f\0\0\1\x12\x34payload", 17), UdpVerdict::kSend, "127.0.0.1", 0x1234, 10},
        {Bytes("\0\0\0\1\x7f\0\0\1\x12\x34", 10), UdpVerdict::kSend, "127.0.0.1", 0x1234, 10},  // empty payload
        {Bytes("\0\0\0\1\x7f\0\0\1\x12", 9), UdpVerdict::kShort, "", 0, 0},
        {Bytes("\0\0\0\3\3abc\0\x35" "data", 13), UdpVerdict::kSend, "abc", 53, 10},
        {Bytes("\0\0\0\3\3abc\0", 9), UdpVerdict::kShort, "", 0, 0},            // port cut
        {Bytes("\0\0\0\3\xff" "abc", 8), UdpVerdict::kShort, "", 0, 0},         // name runs past the end
        {Bytes("\0\0\0\3", 4), UdpVerdict::kShort, "", 0, 0},                   // no length byte
        {Bytes("\0\0\0\3\0\0\x50", 7), UdpVerdict::kBadName, "", 0, 0},         // empty name
        {Bytes("\0\0\0\3\3a\0b\0\x50", 10), UdpVerdict::kBadName, "a", 0, 0},    // a NUL in the name
        {Bytes("\0\0\1\1\x7f\0\0\1\0\x50", 10), UdpVerdict::kFragment, "", 0, 0},
        {Bytes("\0\0\0\4", 4) + Bytes(18, '\0'), UdpVerdict::kUnknownType, "", 0, 0},
        {Bytes("\0\0\0\x09\0\0\0\0\0\0", 10), UdpVerdict::kUnknownType, "", 0, 0},
        {Bytes("\0\0\0", 3), UdpVerdict::kShort, "", 0, 0},
        {Bytes(), UdpVerdict::kShort, "", 0, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        UdpDestination d;
        EXPECT_EQ(parse_udp_header(reinterpret_cast<const unsigned char*>(c.datagram.data()), c.datagram.size(), &d),
                  c.verdict)
            << "row " << i;
        if (c.verdict != UdpVerdict::kSend) continue;
        EXPECT_STREQ(d.host, c.host) << "row " << i;
        EXPECT_EQ(d.port, c.port) << "row " << i;
        EXPECT_EQ(d.header_size, c.header) << "row " << i;
    }
}

TEST(SocksMessages, LongestNameFillsTheHostField) {
    Bytes d("\0\0\0\3\xff", 5);
    d += Bytes(255, 'n') + Bytes("\1\0", 2);
    UdpDestination to;
    ASSERT_EQ(parse_udp_header(reinterpret_cast<const unsigned char*>(d.data()), d.size(), &to), UdpVerdict::kSend);
    EXPECT_EQ(std::strlen(to.host), 255u);
    EXPECT_EQ(to.port, 256);
    EXPECT_EQ(to.header_size, 262u);
}

TEST(SocksMessages, UserIdScanTable) {
    struct Case {
        Bytes peeked;
        std::size_t taken_before;
        std::size_t take;
        bool complete, too_long;
    };
    const Case cases[] = {
        {Bytes("bob\0rest", 8), 0, 4, true, false},     // what follows the NUL stays unread
        {Bytes("\0", 1), 0, 1, true, false},            // empty ID
        {Bytes("bo", 2), 0, 2, false, false},           // not all there yet
        {Bytes("b\0", 2), 254, 2, true, false},         // 255 characters in all
        {Bytes("\0", 1), 255, 1, true, false},
        {Bytes("bb", 2), 254, 0, false, true},          // the 256th character
        {Bytes(256, 'u'), 0, 0, false, true},
        {Bytes(255, 'u') + Bytes("\0", 1), 0, 256, true, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        bool complete = true, too_long = true;
        EXPECT_EQ(scan_user_id(reinterpret_cast<const unsigned char*>(c.peeked.data()), c.peeked.size(),
                               c.taken_before, &complete, &too_long),
                  c.take)
            << "row " << i;
        EXPECT_EQ(complete, c.complete) << "row " << i;
        EXPECT_EQ(too_long, c.too_long) << "row " << i;
    }
}

TEST(SocksMessages, V4RequestCommands) {
    for (int command = 0; command < 256; ++command) {
        const unsigned char bytes[kV4RequestSize] = {static_cast<unsigned char>(command), 0x1f, 0x90, 10, 0, 0, 255};
        SocksRequest q;
        EXPECT_EQ(parse_v4_request(bytes, &q), command == 1 || command == 2) << command;
        EXPECT_EQ(q.command, command);
        EXPECT_EQ(q.port, 8080);
        EXPECT_STREQ(q.host, "10.0.0.255");
        EXPECT_TRUE(q.name_usable);
    }
}

TEST(SocksMessages, NameHosts) {
    struct Case {
        Bytes name;
        const char* shown;
        bool usable;
    };
    const Case cases[] = {
        {"example.com", "example.com", true},
        {"", "", false},
        {Bytes("ex\0ample", 8), "ex", false},
        {Bytes("\0", 1), "", false},
        {Bytes(255, 'a'), nullptr, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SocksRequest q;
        set_name_host(reinterpret_cast<const unsigned char*>(cases[i].name.data()), cases[i].name.size(), &q);
        EXPECT_EQ(q.name_usable, cases[i].usable) << "row " << i;
        EXPECT_EQ(std::string(q.host), cases[i].shown ? cases[i].shown : cases[i].name) << "row " << i;
    }
}

TEST(SocksMessages, ReplyLayouts) {
    unsigned char v4[kV4ReplySize];
    v4_reply(kV4Granted, addr("192.168.1.2"), htons(1080), v4);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(v4), sizeof v4), Bytes("\0\x5a\x04\x38\xc0\xa8\1\2", 8));
    unsigned char v5[kV5ReplySize];
    v5_reply(kV5NotAllowed, 0, 0, v5);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(v5), sizeof v5), Bytes("\5\2\0\1\0\0\0\0\0\0", 10));
    v5_reply(kV5Succeeded, addr("10.0.0.1"), htons(65535), v5);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(v5), sizeof v5), Bytes("\5\0\0\1\x0a\0\0\1\xff\xff", 10));
    unsigned char udp[kUdpReplyHeaderSize];
    udp_reply_header(addr("127.0.0.2"), htons(53), udp);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(udp), sizeof udp), Bytes("\0\0\0\1\x7f\0\0\2\0\x35", 10));
}

TEST(SocksMessages, PasswordMethodOffered) {
    const unsigned char none[] = {0, 1, 3};
    const unsigned char some[] = {0, 2};
    EXPECT_FALSE(offers_password_method(none, sizeof none));
    EXPECT_TRUE(offers_password_method(some, sizeof some));
    EXPECT_FALSE(offers_password_method(some, 0));
}

}  // namespace
}  // namespace kv::gateways
