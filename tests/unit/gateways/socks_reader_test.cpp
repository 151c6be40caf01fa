// The negotiation and request reader over a socket pair, the way a client
// writes them: whole, in pieces, cut short.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "config/config_lists.h"
#include "config/settings.h"
#include "gateways/socks_server.h"
#include "tests/unit/test_support.h"

namespace kv::gateways {
namespace {

using Bytes = std::string;

struct Pair {
    platform::Socket server, client;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        server.reset(fds[0]);
        client.reset(fds[1]);
    }
    void send(const Bytes& b) const { ASSERT_EQ(::send(client.get(), b.data(), b.size(), 0), static_cast<ssize_t>(b.size())); }
    // Everything the server side wrote, once it is not writing any more.
    Bytes answer() const {
        Bytes out;
        char buf[512];
        for (;;) {
            const ssize_t n = ::recv(client.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) return out;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
};

class SocksReader : public ::testing::Test {
protected:
    void SetUp() override {
        config::Settings& s = config::live();
        s.Socks4 = 1;
        s.Socks5 = 1;
        s.SocksAuthentication = 0;
        config::reset_lists(s.lists);
        ASSERT_GE(config::add_user(s.lists, "bob", "pw"), 0);
    }
    void TearDown() override { config::reset_lists(config::live().lists); }
    test::ScratchLogs logs_{"socksreader"};
};

TEST_F(SocksReader, RequestsTable) {
    struct Case {
        int authentication;
        Bytes sent;
        int result;
        Bytes answer;
        std::uint8_t command;
        const char* host;
        std::uint16_t port;
        const char* entry;  // the one error-log text, or null
    };
    const Case cases[] = {
        {0, Bytes("\4\1\0\x50\x7f\0\0\1bob\0", 12), 1, "", 1, "127.0.0.1", 80, nullptr},
        {0, Bytes("\4\2\0\x50\x7f\0\0\1\0after", 14), 1, "", 2, "127.0.0.1", 80, nullptr},
        {0, Bytes("\4\1\0\x50\x7f\0\0\1bob", 11), 0, "", 1, "", 0, nullptr},  // no NUL before the close
        {0, Bytes("\4\5\0\x50\x7f\0\0\1\0", 9), 0, "", 0, "", 0, "SOCKS v4 unknown command : 5"},
        {0, Bytes("\5\1\0\5\1\0\3\7example\1\xbb", 17), 1, Bytes("\5\0", 2), 1, "example", 443, nullptr},
        {0, Bytes("\5\2\0\2\5\3\0\1\x0a\0\0\1\0\0", 14), 1, Bytes("\5\0", 2), 3, "10.0.0.1", 0, nullptr},
        {0, Bytes("\5\1\0\5\4\0\1\x0a\0\0\1\0\x50", 13), 0, Bytes("\5\0", 2), 0, "", 0,
         "SOCKS unsuported command : 4"},
        {0, Bytes("\5\1\0\5\1\0\4", 7) + Bytes(16, '\1') + Bytes("\0\x50", 2), 0, Bytes("\5\0", 2), 0, "", 0, nullptr},
        {1, Bytes("\5\1\2\1\3bob\2pw\5\1\0\1\x0a\0\0\1\0\x50", 21), 1, Bytes("\5\2\1\0", 4), 1, "10.0.0.1", 80,
         nullptr},
        {1, Bytes("\5\1\2\1\3bob\2px", 11), 0, Bytes("\5\2\1\1", 4), 0, "", 0, nullptr},
        {1, Bytes("\5\1\0", 3), 0, Bytes("\5\xff", 2), 0, "", 0, nullptr},
        {0, Bytes("\x16\3\1", 3), 0, "", 0, "", 0, "SOCKS version 22 not supported"},
        {0, Bytes(), 0, "", 0, "", 0, nullptr},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        config::live().SocksAuthentication = c.authentication;
        log::clear_error_log();
        Pair p;
        p.send(c.sent);
        ::shutdown(p.client.get(), SHUT_WR);
        SocksNegotiation n;
        EXPECT_EQ(read_socks_request(p.server.get(), &n), c.result) << "row " << i;
        EXPECT_EQ(p.answer(), c.answer) << "row " << i;
        if (c.result) {
            EXPECT_EQ(n.request.command, c.command) << "row " << i;
            EXPECT_STREQ(n.request.host, c.host) << "row " << i;
            EXPECT_EQ(n.request.port, c.port) << "row " << i;
        }
        const std::string log = logs_.error_log();
        if (c.entry)
            EXPECT_NE(log.find(std::string("\r\n") + c.entry + "\r\n"), std::string::npos) << "row " << i << log;
        else
            EXPECT_EQ(log, "") << "row " << i;
    }
}

TEST_F(SocksReader, BytesAfterTheUserIdStayUnread) {
    Pair p;
    p.send(Bytes("\4\1\0\x50\x7f\0\0\1user\0GET /", 18));
    SocksNegotiation n;
    ASSERT_EQ(read_socks_request(p.server.get(), &n), 1);
    char rest[16] = {};
    EXPECT_EQ(::recv(p.server.get(), rest, sizeof rest, MSG_DONTWAIT), 5);
    EXPECT_STREQ(rest, "GET /");
}

TEST_F(SocksReader, RequestInPieces) {
    Pair p;
    std::thread writer([&p] {
        const Bytes pieces[] = {Bytes("\5", 1), Bytes("\1\0", 2), Bytes("\5\1\0\3\3a", 6), Bytes("bc\0", 3),
                                Bytes("\x50", 1)};
        for (const Bytes& b : pieces) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            p.send(b);
        }
    });
    SocksNegotiation n;
    EXPECT_EQ(read_socks_request(p.server.get(), &n), 1);
    writer.join();
    EXPECT_STREQ(n.request.host, "abc");
    EXPECT_EQ(n.request.port, 80);
}

TEST_F(SocksReader, VersionThatIsOffEndsSilently) {
    for (int version : {4, 5}) {
        config::live().Socks4 = version != 4;
        config::live().Socks5 = version != 5;
        Pair p;
        p.send(version == 4 ? Bytes("\4\1\0\x50\x7f\0\0\1\0", 9) : Bytes("\5\1\0", 3));
        SocksNegotiation n;
        EXPECT_EQ(read_socks_request(p.server.get(), &n), 0) << version;
        EXPECT_EQ(p.answer(), "") << version;
    }
    EXPECT_EQ(logs_.error_log(), "");
}

TEST_F(SocksReader, V4ReplyLeavesOutTheRestForAClientThatSpeaks) {
    {
        Pair p;
        EXPECT_EQ(send_socks_reply(p.server.get(), 4, 0, inet_addr("10.0.0.1"), htons(80)), 1);
        EXPECT_EQ(p.answer(), Bytes("\0\x5a\0\x50\x0a\0\0\1", 8));
    }
    {
        Pair p;
        p.send("x");
        EXPECT_EQ(send_socks_reply(p.server.get(), 4, 1, 0, 0), 1);
        EXPECT_EQ(p.answer(), Bytes("\0\x5b", 2));
    }
    {
        Pair p;  // data that comes while the server waits
        std::thread late([&p] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            p.send("y");
        });
        EXPECT_EQ(send_socks_reply(p.server.get(), 4, 0, 0, 0), 1);
        late.join();
        EXPECT_EQ(p.answer(), Bytes("\0\x5a", 2));
    }
}

}  // namespace
}  // namespace kv::gateways
