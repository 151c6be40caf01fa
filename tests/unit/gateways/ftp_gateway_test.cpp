#include "gateways/ftp_gateway.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateways/ftp_lines.h"
#include "net/line_io.h"
#include "platform/bounded_text.h"
#include "tests/unit/test_support.h"

namespace kv::gateways {
namespace {

using namespace std::string_literals;

struct LoginCase {
    std::string line;
    int result;
    std::string command, host;
    std::uint16_t port;
    std::string failure;
};

TEST(FtpLogin, SplitsAtTheLastAt) {
    const std::string user44 = "USER " + std::string(44, 'u');  // 49 characters
    const LoginCase kCases[] = {
        {"USER bob@ftp.example", 1, "USER bob", "ftp.example", 21, "USER bob"},
        // A user name holding "@" reaches the server whole.
        {"USER bob@office@ftp.example:2121", 1, "USER bob@office", "ftp.example", 2121, "USER bob@office"},
        {"USER bob@h:1", 1, "USER bob", "h", 1, "USER bob"},
        {"USER bob@h:65535", 1, "USER bob", "h", 65535, "USER bob"},
        // The login command is cut to 49 characters.
        {user44 + "@h", 1, user44, "h", 21, user44},
        {user44 + "x@h", 1, user44, "h", 21, user44 + "x"},
        // Refusals: the text is the whole line without "@", else the line up to it.
        {"USER bob", 0, "", "", 21, "USER bob"},
        {"", 0, "", "", 21, ""},
        {"USER bob@", 0, "", "", 21, "USER bob"},
        {"@ftp.example", 0, "", "", 21, ""},
        {"USER bob@:21", 0, "", "", 21, "USER bob"},
        {"USER bob@h:0", 0, "", "", 21, "USER bob"},
        {"USER bob@h:65536", 0, "", "", 21, "USER bob"},
        {"USER bob@h:99999999999999999999", 0, "", "", 21, "USER bob"},
        {"USER bob@h:", 0, "", "", 21, "USER bob"},
        {"USER bob@h:21x", 0, "", "", 21, "USER bob"},
        {"USER bob@h:-21", 0, "", "", 21, "USER bob"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const LoginCase& c = kCases[i];
        FtpLogin login;
        char failure[300] = "unset";
        ASSERT_EQ(split_ftp_login(c.line.c_str(), &login, failure, sizeof failure), c.result) << "row " << i;
        if (c.result) {
            EXPECT_EQ(login.command, c.command) << "row " << i;
            EXPECT_EQ(login.host, c.host) << "row " << i;
            EXPECT_EQ(login.port, c.port) << "row " << i;
        } else {
            EXPECT_EQ(failure, c.failure) << "row " << i;
        }
    }
    // The failure text is cut to the caller's buffer.
    FtpLogin login;
    char small[5];
    EXPECT_EQ(split_ftp_login("USER bob@", &login, small, sizeof small), 0);
    EXPECT_STREQ(small, "USER");
    EXPECT_EQ(split_ftp_login("USER bob", &login, small, sizeof small), 0);
    EXPECT_STREQ(small, "USER");
}

struct NumbersCase {
    std::string line;
    int result;
    std::string host;
    std::uint16_t port;
};

void expect_numbers(int (*parse)(const char*, FtpHostPort*), const NumbersCase* cases, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        FtpHostPort hp;
        ASSERT_EQ(parse(cases[i].line.c_str(), &hp), cases[i].result) << "row " << i << ": " << cases[i].line;
        if (!cases[i].result) continue;
        char text[18];
        ASSERT_NE(inet_ntop(AF_INET, hp.host, text, sizeof text), nullptr);
        EXPECT_EQ(text, cases[i].host) << "row " << i;
        EXPECT_EQ(hp.port, cases[i].port) << "row " << i;
    }
}

TEST(FtpNumbers, PortCommand) {
    const NumbersCase kCases[] = {
        {"PORT 127,0,0,1,4,1", 1, "127.0.0.1", 1025},
        {"port 10,0,0,2,255,255", 1, "10.0.0.2", 65535},
        {"PORT 0,0,0,0,0,0", 1, "0.0.0.0", 0},
        {"PORT  1, 2 ,3,\t4 ,5,6  ", 1, "1.2.3.4", 1286},
        {"PORT 001,002,003,004,000,021", 1, "1.2.3.4", 21},
        // Missing, extra, out of range, not numbers: unreadable, never wrapped.
        {"PORT 1,2,3,4,5", 0, "", 0},
        {"PORT 1,2,3,4,5,", 0, "", 0},
        {"PORT 1,2,3,4,5,6,", 0, "", 0},
        {"PORT 1,2,3,4,5,6,7", 0, "", 0},
        {"PORT 1,2,3,4,5,6 7", 0, "", 0},
        {"PORT 1,2,3,4,5,6x", 0, "", 0},
        {"PORT 256,0,0,1,0,21", 0, "", 0},
        {"PORT 1,2,3,4,5,256", 0, "", 0},
        {"PORT 1,2,3,4,1000,6", 0, "", 0},
        {"PORT 1,2,3,4,0005,6", 0, "", 0},
        {"PORT 1,2,3,4,-5,6", 0, "", 0},
        {"PORT 1,2,3,4,+5,6", 0, "", 0},
        {"PORT 1,,3,4,5,6", 0, "", 0},
        {"PORT", 0, "", 0},
        {"PORT ", 0, "", 0},
        {"", 0, "", 0},
    };
    expect_numbers(parse_port_command, kCases, std::size(kCases));
}

TEST(FtpNumbers, PassiveReply) {
    const NumbersCase kCases[] = {
        {"227 Entering Passive Mode (127,0,0,1,4,1).", 1, "127.0.0.1", 1025},
        {"227 Entering Passive Mode (192,168,1,2,255,0)", 1, "192.168.1.2", 65280},
        {"227 (1,2,3,4,0,21) and (9,9,9,9,9,9)", 1, "1.2.3.4", 21},
        {"227 ( 1, 2, 3, 4, 5, 6 )", 1, "1.2.3.4", 1286},
        // Not a 227 reply, or no six numbers in parentheses.
        {"227-Entering Passive Mode (1,2,3,4,5,6)", 0, "", 0},
        {"2270 (1,2,3,4,5,6)", 0, "", 0},
        {"228 (1,2,3,4,5,6)", 0, "", 0},
        {"227 Entering Passive Mode 1,2,3,4,5,6", 0, "", 0},
        {"227 Entering Passive Mode (1,2,3,4,5,6", 0, "", 0},
        {"227 (1,2,3,4,5)", 0, "", 0},
        {"227 (1,2,3,4,5,6,7)", 0, "", 0},
        {"227 (1,2,3,4,5,300)", 0, "", 0},
        {"227 (1,2,3,4,5,-1)", 0, "", 0},
        {"227 ()", 0, "", 0},
        {"227 )1,2,3,4,5,6(", 0, "", 0},
        {"227", 0, "", 0},
    };
    expect_numbers(parse_passive_reply, kCases, std::size(kCases));
}

TEST(FtpNumbers, RewritesReadBack) {
    in_addr a{};
    ASSERT_EQ(inet_pton(AF_INET, "10.1.2.3", &a), 1);
    char text[64];
    format_port_command(a, 0x1234, text, sizeof text);
    EXPECT_STREQ(text, "PORT 10,1,2,3,18,52");
    format_passive_reply(a, 0x1234, text, sizeof text);
    EXPECT_STREQ(text, "227 Entering Passive Mode (10,1,2,3,18,52)");
    ASSERT_EQ(inet_pton(AF_INET, "255.255.255.255", &a), 1);
    for (std::uint16_t port : {0, 1, 255, 256, 65535}) {
        FtpHostPort hp;
        format_port_command(a, port, text, sizeof text);
        ASSERT_EQ(parse_port_command(text, &hp), 1) << text;
        EXPECT_EQ(hp.port, port) << text;
        EXPECT_EQ(hp.host[0], 255);
        format_passive_reply(a, port, text, sizeof text);
        ASSERT_EQ(parse_passive_reply(text, &hp), 1) << text;
        EXPECT_EQ(hp.port, port) << text;
    }
}

TEST(FtpLines, ReplyCompletionCodeAndCommands) {
    struct Complete {
        const char* line;
        bool greeting;
        bool complete;
    };
    const Complete kComplete[] = {
        {"220 ready", false, true},   {"220 ready", true, true},   {"220-hello", false, false},
        {"220", false, false},        {"", false, false},          {"220 ", false, true},
        {"    continued", false, true}, {"    continued", true, false}, {"\t23 x", true, false},
        {"\t23 x", false, true},      {"22 0", false, false},
    };
    for (std::size_t i = 0; i < std::size(kComplete); ++i)
        EXPECT_EQ(ftp_reply_complete(kComplete[i].line, kComplete[i].greeting), kComplete[i].complete) << "row " << i;

    EXPECT_EQ(ftp_reply_code("220 ready"), 220);
    EXPECT_EQ(ftp_reply_code("150-opening"), 150);
    EXPECT_EQ(ftp_reply_code("ready"), 0);

    struct Classify {
        const char* line;
        FtpCommand what;
    };
    const Classify kCommands[] = {
        {"PORT 1,2,3,4,5,6", FtpCommand::kPort}, {"port", FtpCommand::kPort},
        {"PASV", FtpCommand::kPasv},             {"pasv", FtpCommand::kPasv},
        {"quit", FtpCommand::kQuit},             {"QUIT", FtpCommand::kQuit},
        {"QUIT ", FtpCommand::kOther},           {"quit now", FtpCommand::kOther},
        {"EPSV", FtpCommand::kExtended},         {"eprt |1|127.0.0.1|2121|", FtpCommand::kExtended},
        {"RETR f", FtpCommand::kTransfer},       {"nlst", FtpCommand::kTransfer},
        {"LIST -a", FtpCommand::kTransfer},      {"STOR f", FtpCommand::kTransfer},
        {"STOU", FtpCommand::kTransfer},         {"APPE f", FtpCommand::kTransfer},
        {"MLSD /", FtpCommand::kTransfer},       {"MLST f", FtpCommand::kOther},
        {"USER bob", FtpCommand::kOther},        {"", FtpCommand::kOther},
    };
    for (std::size_t i = 0; i < std::size(kCommands); ++i)
        EXPECT_EQ(classify_ftp_command(kCommands[i].line), kCommands[i].what) << "row " << i;

    // The direction of a transfer's data.
    for (const char* up : {"STOR f", "stou", "Appe f"}) EXPECT_TRUE(ftp_transfer_uploads(up)) << up;
    for (const char* down : {"RETR f", "LIST", "NLST", "MLSD", "STAT"}) EXPECT_FALSE(ftp_transfer_uploads(down)) << down;
}

// --- replies and client lines over socket pairs ------------------------------------

struct ReplyCase {
    std::vector<std::string> pieces;
    FtpReplyEnd end;
    std::string passed;
    int code;
    std::string rest;  // what stays in the server socket for the next reader
};

TEST(FtpReply, PassesLinesUntilTheCompletingOne) {
    const std::string long_line = "211 " + std::string(300, 'x');
    const std::string cut = long_line.substr(0, 200);
    const ReplyCase kCases[] = {
        {{"220 ready\r\n"}, FtpReplyEnd::kPassed, "220 ready\r\n", 220, ""},
        {{"230-a\r", "\n230-b\n", "230 c\r\nNEXT"}, FtpReplyEnd::kPassed, "230-a\r\n230-b\r\n230 c\r\n", 230, "NEXT"},
        // Continuation lines in any form, up to the first with a blank fourth character.
        {{"214-x\r\n    a\r\n214 end\r\n"}, FtpReplyEnd::kPassed, "214-x\r\n    a\r\n", 214, "214 end\r\n"},
        {{"150 opening\n226 done\n"}, FtpReplyEnd::kPassed, "150 opening\r\n", 150, "226 done\n"},
        // Lines over 200 characters pass cut; the rest of the line is dropped.
        {{long_line + "\r\n200 ok\r\n"}, FtpReplyEnd::kPassed, cut + "\r\n", 211, "200 ok\r\n"},
        {{"211-" + std::string(300, 'y') + "\r\n211 end\r\n"}, FtpReplyEnd::kPassed,
         "211-" + std::string(196, 'y') + "\r\n211 end\r\n", 211, ""},
        // A server that closes mid-reply, or never sends a line feed.
        {{"220-a\r\n"}, FtpReplyEnd::kServerClosed, "220-a\r\n", 220, ""},
        {{"220 no line feed"}, FtpReplyEnd::kServerClosed, "", 0, ""},
        {{std::string(9000, 'z') + "\n"}, FtpReplyEnd::kServerClosed, "", 0, ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const ReplyCase& c = kCases[i];
        platform::Socket server, server_peer, client, client_peer;
        test::unix_pair(server, server_peer);
        test::unix_pair(client, client_peer);
        std::thread writer(test::send_pieces, server_peer.get(), c.pieces);
        auto work = std::make_unique<char[]>(net::kLineBufferSize);
        FtpReplyHead head;
        EXPECT_EQ(pass_ftp_reply(server.get(), client.get(), work.get(), false, false, 0, &head), c.end) << "row " << i;
        writer.join();
        client.reset();
        EXPECT_EQ(test::drain(client_peer), c.passed) << "row " << i;
        if (c.end == FtpReplyEnd::kPassed) {
            EXPECT_EQ(head.code, c.code) << "row " << i;
            EXPECT_EQ(test::drain(server), c.rest) << "row " << i;
        }
    }
}

TEST(FtpReply, GreetingLimitsAndAGoneClient) {
    auto work = std::make_unique<char[]>(net::kLineBufferSize);
    FtpReplyHead head;
    {
        // A greeting line that begins with a blank does not end it.
        platform::Socket server, peer;
        test::unix_pair(server, peer);
        test::send_pieces(peer.get(), {" 22 banner\r\n\t23 banner\r\n220 ready\r\n"});
        EXPECT_EQ(pass_ftp_reply(server.get(), -1, work.get(), false, true, 3, &head), FtpReplyEnd::kPassed);
        EXPECT_STREQ(work.get(), "220 ready");
    }
    {
        // A greeting that goes on past its line limit is given up.
        platform::Socket server, peer;
        test::unix_pair(server, peer);
        test::send_pieces(peer.get(), {"220-a\r\n220-b\r\n220 c\r\n"});
        EXPECT_EQ(pass_ftp_reply(server.get(), -1, work.get(), false, true, 2, &head), FtpReplyEnd::kServerClosed);
    }
    {
        // A line already read is passed first.
        platform::Socket server, peer, client, client_peer;
        test::unix_pair(server, peer);
        test::unix_pair(client, client_peer);
        test::send_pieces(peer.get(), {"500 no\r\n"});
        platform::copy_bounded(work.get(), "500-first", net::kLineBufferSize);
        EXPECT_EQ(pass_ftp_reply(server.get(), client.get(), work.get(), true, false, 0, &head), FtpReplyEnd::kPassed);
        EXPECT_EQ(head.code, 500);
        client.reset();
        EXPECT_EQ(test::drain(client_peer), "500-first\r\n500 no\r\n");
    }
    {
        platform::Socket server, peer, client, client_peer;
        test::unix_pair(server, peer);
        test::unix_pair(client, client_peer);
        client_peer.reset();
        test::send_pieces(peer.get(), {"150-a\r\n150 b\r\n"});
        EXPECT_EQ(pass_ftp_reply(server.get(), client.get(), work.get(), false, false, 0, &head),
                  FtpReplyEnd::kClientGone);
    }
}

TEST(FtpClientLine, TwoHundredCharactersAtMost) {
    const std::string c200(200, 'c');
    struct Case {
        std::string sent;
        int result;
        std::string line;
        std::string rest;
    };
    const Case kCases[] = {
        {"NOOP\r\nRETR f\r\n", 1, "NOOP", "RETR f\r\n"},
        {"NOOP\n", 1, "NOOP", ""},
        {"\r\n", 1, "", ""},
        {c200 + "\r\n", 1, c200, ""},
        {c200 + "\n", 1, c200, ""},
        {c200 + "c\r\n", 0, "", ""},
        {c200 + "c\n", 0, "", ""},
        {std::string(5000, 'c'), 0, "", ""},
        {"NOOP", 0, "", ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        platform::Socket a, b;
        test::unix_pair(a, b);
        test::send_pieces(b.get(), {kCases[i].sent});
        char line[kFtpLineMax + 1] = "unset";
        ASSERT_EQ(read_ftp_client_line(a.get(), line), kCases[i].result) << "row " << i;
        if (kCases[i].result) {
            EXPECT_EQ(line, kCases[i].line) << "row " << i;
            EXPECT_EQ(test::drain(a), kCases[i].rest) << "row " << i;
        }
    }
}

}  // namespace
}  // namespace kv::gateways
