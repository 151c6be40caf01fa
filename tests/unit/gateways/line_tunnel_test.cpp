#include "gateways/line_tunnel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/test_support.h"

namespace kv::gateways {
namespace {

using namespace std::string_literals;

struct TelnetCase {
    std::vector<std::string> pieces;
    int result;
    std::string line;
    std::string store;
    std::string echoed;
};

TEST(TelnetReply, NegotiationEchoAndLineEditing) {
    const std::string do_echo = "\xff\xfd\x01"s, dont_echo = "\xff\xfe\x01"s;
    const std::string will_ttype = "\xff\xfb\x18"s, do_sga = "\xff\xfd\x03"s, nop = "\xff\xf1"s;
    const std::string longest(98, 'h');
    const TelnetCase kCases[] = {
        {{"host\r\n"}, 1, "host", "", ""},
        {{"host 2", "3\n"}, 1, "host 23", "", ""},
        // DO ECHO: the answer is kept back and typing is echoed as received,
        // CR included; the byte after CR is dropped unechoed.
        {{do_echo.substr(0, 1), do_echo.substr(1), "ab", "\r", "\n"}, 1, "ab", "", "ab\r"},
        {{dont_echo, "ab\r\n"}, 1, "ab", "", ""},
        // Other options reach the destination; so does a second ECHO answer.
        {{will_ttype.substr(0, 2), will_ttype.substr(2) + do_sga, "x\n"}, 1, "x", will_ttype + do_sga, ""},
        {{do_echo + "\xff\xfc\x01"s, "x\r\0"s}, 1, "x", "\xff\xfc\x01"s, "x\r"},
        {{nop, "x\n"}, 1, "x", nop, ""},
        // Negotiation in the middle of typing.
        {{"a", do_echo, "b\n"}, 1, "ab", "", "b\n"},
        {{"\b", "ab\bc\n"}, 1, "ac", "", ""},
        {{longest + "\n"}, 1, longest, "", ""},
        {{longest + "h"}, 0, "", "", ""},
        {{"half"}, 0, "", "", ""},
        {{"x\r"}, 0, "", "", ""},
        {{"\xff"s}, 0, "", "\xff"s, ""},
        {{"\xff\xfb"s}, 0, "", "\xff\xfb"s, ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const TelnetCase& c = kCases[i];
        platform::Socket ours, theirs;
        test::unix_pair(ours, theirs);
        std::thread writer(test::send_pieces, theirs.get(), c.pieces);
        TelnetInput in;
        const int result = read_telnet_reply(ours.get(), &in);
        writer.join();
        EXPECT_EQ(result, c.result) << "row " << i;
        if (c.result) {
            EXPECT_EQ(std::string(in.line), c.line) << "row " << i;
        }
        EXPECT_EQ(std::string(reinterpret_cast<char*>(in.store), in.store_len), c.store) << "row " << i;
        EXPECT_EQ(test::read_available(theirs), c.echoed) << "row " << i;
    }
}

TEST(TelnetReply, NegotiationStoreKeepsTheFirst2048Bytes) {
    std::string flood;
    for (int i = 0; i < 1500; ++i) flood += "\xff\xf1"s;  // 3,000 bytes of NOP
    platform::Socket ours, theirs;
    test::unix_pair(ours, theirs);
    std::thread writer(test::send_pieces, theirs.get(), std::vector<std::string>{flood, "\xff\xfd\x01"s, "h\r\n"});
    TelnetInput in;
    ASSERT_EQ(read_telnet_reply(ours.get(), &in), 1);
    writer.join();
    EXPECT_EQ(in.store_len, kNegotiationStoreSize);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in.store), in.store_len), flood.substr(0, kNegotiationStoreSize));
    EXPECT_TRUE(in.echo);
    EXPECT_EQ(std::string(in.line), "h");
}

TEST(TelnetTarget, HostAndPort) {
    struct Case {
        const char* line;
        int result;
        const char* host;
        std::uint16_t port;
    };
    constexpr Case kCases[] = {
        {"host", 1, "host", 23},          {"host 110", 1, "host", 110},
        {"  host   8080  ", 1, "host", 8080}, {"host 65535", 1, "host", 65535},
        {"host 65536", 0, "", 0},          {"host 99999999999999999999", 0, "", 0},
        {"host abc", 1, "host", 23},      {"", 0, "", 0},
        {"   ", 0, "", 0},                 {"10.0.0.1 23 extra", 1, "10.0.0.1", 23},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        char host[256] = "";
        std::uint16_t port = 0;
        const int result = parse_telnet_target(kCases[i].line, host, sizeof host, &port);
        EXPECT_EQ(result, kCases[i].result) << "row " << i;
        if (!result) continue;
        EXPECT_STREQ(host, kCases[i].host) << "row " << i;
        EXPECT_EQ(port, kCases[i].port) << "row " << i;
    }
}

int fake_lookup(const char* host, in_addr* out) {
    if (std::strcmp(host, "mail.office") == 0) return inet_pton(AF_INET, "10.0.0.5", out);
    if (inet_pton(AF_INET, host, out) == 1) return 1;
    return 0;
}

TEST(SmtpForward, LocalServerSendsOutEveryoneElseDeliversIn) {
    struct Case {
        const char* client;
        const char* smtp2;
        const char* expected;
    };
    constexpr Case kCases[] = {
        {"10.0.0.5", "mail.office", "out.isp"},  // a name, compared by its address
        {"10.0.0.6", "mail.office", "mail.office"},
        {"10.0.0.7", "10.0.0.7", "out.isp"},
        {"10.0.0.70", "10.0.0.7", "10.0.0.7"},
        {"10.0.0.5", "unknown.office", "unknown.office"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        in_addr client{};
        ASSERT_EQ(inet_pton(AF_INET, kCases[i].client, &client), 1);
        EXPECT_STREQ(smtp_forward_destination(client, "out.isp", kCases[i].smtp2, fake_lookup), kCases[i].expected)
            << "row " << i;
    }
}

TEST(Pop3Dialogue, AnswersUntilUser) {
    const std::string greeting = "+OK Korvanet pop3 tunnel ready\r\n";
    const std::string invalid = "-ERR Invalid command; valid commands:  USER,  QUIT\r\n";
    const std::string user126 = "USER " + std::string(121, 'u');
    struct Case {
        std::vector<std::string> pieces;
        int result;
        std::string user_line;
        std::string host;
        std::string answers;
    };
    const Case kCases[] = {
        {{"USER bob\r\n"}, 1, "USER bob", "pop.default", greeting},
        {{"us", "er bob#pop.other\r\n"}, 1, "user bob", "pop.other", greeting},
        {{"USER a#b#c\n"}, 1, "USER a", "b#c", greeting},
        {{"USER a#\r\n"}, 1, "USER a", "", greeting},
        {{"NOOP\r\n", "USER\r\n", "USER x\r\n"}, 1, "USER x", "pop.default", greeting + invalid + invalid},
        {{user126 + "\r\n"}, 1, user126, "pop.default", greeting},
        {{user126 + "u\r\n"}, 0, "", "", greeting},
        {{user126 + "\n"}, 1, user126, "pop.default", greeting},
        {{user126 + "u\n"}, 0, "", "", greeting},
        {{"quit\r\n"}, 0, "", "", greeting},
        {{"QUITTING\r\n"}, 0, "", "", greeting},
        {{"STAT\r\n"}, 0, "", "", greeting + invalid},
        {{"USER bob"}, 0, "", "", greeting},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        platform::Socket ours, theirs;
        test::unix_pair(ours, theirs);
        std::thread writer(test::send_pieces, theirs.get(), c.pieces);
        char user[kPop3DialogueLine] = "";
        char host[256] = "pop.default";
        const int result = run_pop3_dialogue(ours.get(), user, sizeof user, host, sizeof host);
        writer.join();
        EXPECT_EQ(result, c.result) << "row " << i;
        if (c.result) {
            EXPECT_EQ(std::string(user), c.user_line) << "row " << i;
            EXPECT_EQ(std::string(host), c.host) << "row " << i;
        }
        EXPECT_EQ(test::read_available(theirs), c.answers) << "row " << i;
    }
}

}  // namespace
}  // namespace kv::gateways
