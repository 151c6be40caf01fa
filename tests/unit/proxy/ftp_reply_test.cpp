#include "proxy/ftp_engine.h"

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket.h"
#include "tests/unit/test_support.h"

namespace kv::proxy {
namespace {

constexpr int kWaitMs = 2000;

struct Got {
    int result;
    int code;
    std::string text;
    bool more;
};

Got next(int fd, ReplyReader& reader, bool collect) {
    char text[kReplyTextSize];
    int code = -7;
    bool more = false;
    const int result = read_ftp_reply(fd, reader, collect, kWaitMs, text, sizeof text, &code, &more);
    return {result, code, result == 1 ? text : "", more};
}

// Writes the pieces with a pause between them, then optionally closes.
std::thread writer(platform::Socket& to, std::vector<std::string> pieces, bool close_after) {
    return std::thread([&to, pieces = std::move(pieces), close_after] {
        for (const std::string& p : pieces) {
            ASSERT_EQ(::send(to.get(), p.data(), p.size(), 0), static_cast<ssize_t>(p.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (close_after) ::shutdown(to.get(), SHUT_WR);
    });
}

TEST(FtpReply, MultiLineReplyInPiecesCollected) {
    platform::Socket a, b;
    test::unix_pair(a, b);
    auto t = writer(b, {"220-Wel", "come\r\n 1999 was", " good\r\n", "230 other\r\n220-again\r\n220", " ready\r\n",
                        "21", "3 12", "34\r", "\nDATA"},
                    false);
    ReplyReader reader;
    struct Want {
        int code;
        const char* text;
        bool more;
    };
    constexpr Want kWant[] = {{220, "Welcome", true},  {220, "1999 was good", true}, {220, "230 other", true},
                              {220, "again", true},    {220, "ready", false},        {213, "1234", false}};
    for (std::size_t i = 0; i < std::size(kWant); ++i) {
        const Got g = next(a.get(), reader, true);
        EXPECT_EQ(g.result, 1) << "row " << i;
        EXPECT_EQ(g.code, kWant[i].code) << "row " << i;
        EXPECT_EQ(g.text, kWant[i].text) << "row " << i;
        EXPECT_EQ(g.more, kWant[i].more) << "row " << i;
    }
    t.join();
    // Only whole lines were taken: what follows stays for the next reader.
    char rest[8] = {};
    EXPECT_EQ(::recv(a.get(), rest, sizeof rest, MSG_DONTWAIT), 4);
    EXPECT_STREQ(rest, "DATA");
}

TEST(FtpReply, WithoutCollectingOnlyTheFinalLine) {
    platform::Socket a, b;
    test::unix_pair(a, b);
    auto t = writer(b, {"230-a\r\nb\r\n230-c\r\n230 done\r\n", "331\r\n", "garbage\r\n"}, true);
    ReplyReader reader;
    Got g = next(a.get(), reader, false);
    EXPECT_EQ(g.code, 230);
    EXPECT_EQ(g.text, "done");
    EXPECT_FALSE(g.more);
    g = next(a.get(), reader, false);
    EXPECT_EQ(g.code, 331);
    EXPECT_EQ(g.text, "");
    g = next(a.get(), reader, false);  // no code: an unrecognised reply
    EXPECT_EQ(g.result, 1);
    EXPECT_EQ(g.code, 0);
    EXPECT_EQ(next(a.get(), reader, false).result, 0);  // closed
    t.join();
}

TEST(FtpReply, LongLineIsCutAndItsRestDropped) {
    platform::Socket a, b;
    test::unix_pair(a, b);
    const std::string long_line = "200 " + std::string(3000, 'x') + "\r\n";
    auto t = writer(b, {long_line.substr(0, 1000), long_line.substr(1000), "200 ok\r\n"}, false);
    ReplyReader reader;
    Got g = next(a.get(), reader, false);
    EXPECT_EQ(g.code, 200);
    EXPECT_EQ(g.text, std::string(kReplyTextSize - 1 - 4, 'x'));
    g = next(a.get(), reader, false);
    EXPECT_EQ(g.code, 200);
    EXPECT_EQ(g.text, "ok");
    t.join();
}

TEST(FtpReply, EndlessRepliesAndSilenceFail) {
    platform::Socket a, b;
    test::unix_pair(a, b);
    std::string lines = "220-start\r\n";
    for (int i = 0; i < kMaxReplyLines + 5; ++i) lines += "more\r\n";
    std::thread t([&] { (void)::send(b.get(), lines.data(), lines.size(), 0); });
    ReplyReader reader;
    EXPECT_EQ(next(a.get(), reader, false).result, -1);
    t.join();

    platform::Socket c, d;
    test::unix_pair(c, d);
    ReplyReader quiet;
    char text[kReplyTextSize];
    int code = 0;
    bool more = false;
    EXPECT_EQ(read_ftp_reply(c.get(), quiet, false, 50, text, sizeof text, &code, &more), -1);
}

TEST(FtpReply, PassiveReplyNumbers) {
    struct Case {
        const char* text;
        int ok;
        const char* address;
        int port;
    };
    constexpr Case kCases[] = {
        {"Entering Passive Mode (127,0,0,1,4,1)", 1, "127.0.0.1", 1025},
        {"Entering Passive Mode 10,1,2,3,255,255", 1, "10.1.2.3", 65535},
        {"=1,2,3,4,5,6.", 1, "1.2.3.4", 1286},
        {"(127,0,0,1,4,256)", 0, "", 0},
        {"(127,0,0,-1,4,1)", 0, "", 0},
        {"(-127,0,0,1,4,1)", 0, "", 0},
        {"(127,0,0,1,4)", 0, "", 0},
        {"(99999999999,0,0,1,4,1)", 0, "", 0},
        {"", 0, "", 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        std::uint8_t a[4] = {};
        std::uint16_t port = 0;
        EXPECT_EQ(parse_passive_reply(kCases[i].text, a, &port), kCases[i].ok) << "row " << i;
        if (!kCases[i].ok) continue;
        const std::string address = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) +
                                    "." + std::to_string(a[3]);
        EXPECT_EQ(address, kCases[i].address) << "row " << i;
        EXPECT_EQ(port, kCases[i].port) << "row " << i;
    }
}

TEST(FtpReply, SizeReplyNumber) {
    struct Case {
        const char* text;
        long long size;
    };
    constexpr Case kCases[] = {{"1234", 1234},  {" 42 bytes", 42}, {"garbage", 0}, {"-5", 0},
                               {"12345678901234567890", 0}, {"999999999999999999", 999999999999999999LL},
                               {"", 0}};
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(parse_size_reply(kCases[i].text), kCases[i].size) << "row " << i;
}

}  // namespace
}  // namespace kv::proxy
