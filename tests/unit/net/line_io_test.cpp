#include "net/line_io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/read_deadline.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "tests/unit/test_support.h"

namespace kv::net {
namespace {

using platform::Socket;

// A connected pair: `peer` writes what the reader under test takes from `reader`.
struct Pair {
    Socket reader, peer;
    Pair() { kv::test::unix_pair(reader, peer); }
    void write(const std::string& bytes) const {
        ASSERT_TRUE(send_all(peer.get(), bytes.data(), bytes.size()));
    }
    void close_peer() { peer.reset(); }
    // Everything still waiting in the reader's socket once the peer is gone.
    std::string rest() {
        close_peer();
        return kv::test::drain(reader);
    }
};

const std::string k8191(8191, 'x');
const std::string k8192(8192, 'x');

TEST(ReadLine, LineEndsAndLimits) {
    struct Case {
        std::string in;
        int result;
        std::string line, rest;
    };
    const Case cases[] = {
        {"abc\r\n", 1, "abc", ""},
        {"abc\n", 1, "abc", ""},
        {"\r\n", 1, "", ""},
        {"\n", 1, "", ""},
        {"a\rb\n", 1, "a\rb", ""},                       // only a CR right before the LF goes
        {"one\r\ntwo\r\n", 1, "one", "two\r\n"},          // the next line stays in the socket
        {k8191 + "\n", 1, k8191, ""},                     // the longest line
        {k8191 + "\nnext", 1, k8191, "next"},
        {k8192, 0, "", ""},                               // 8192 bytes without a line feed
        {k8192 + "\n", 0, "", "\n"},                      // ... the LF after them is not taken
        {k8191 + "\r\n", 0, "", "\n"},                    // the CR counts towards the limit
        {"abc", 0, "", ""},                               // peer closed mid-line
        {"", 0, "", ""},                                  // peer closed at once
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Pair p;
        p.write(cases[i].in);
        if (cases[i].in.find('\n') == std::string::npos) p.close_peer();
        char out[kLineBufferSize];
        std::memset(out, '?', sizeof out);
        EXPECT_EQ(read_line(p.reader.get(), out), cases[i].result) << "row " << i;
        EXPECT_EQ(std::string(out), cases[i].line) << "row " << i;
        EXPECT_EQ(p.rest(), cases[i].rest) << "row " << i;
    }
}

TEST(ReadLine, SizedAndCounted) {
    struct Case {
        std::string in;
        bool close;
        std::size_t n;
        int sized, counted;
        std::string counted_text;
    };
    const Case cases[] = {
        {"abc\r\n", false, 100, 1, 5, "abc"},
        {"abc\n", false, 100, 1, 4, "abc"},
        {"abcd\n", false, 5, 1, 5, "abcd"},   // LF in the n-th byte
        {"abcd\n", false, 4, 0, 0, ""},       // n bytes pass without a line feed
        {"abc", true, 100, 0, 3, "abc"},      // peer closes first: the count so far
        {"ab\r", true, 100, 0, 3, "ab\r"},    // ... all bytes received form the text
        {"", true, 100, 0, 0, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::vector<char> out(c.n, '?');
        {
            Pair p;
            p.write(c.in);
            if (c.close) p.close_peer();
            EXPECT_EQ(read_line_sized(p.reader.get(), out.data(), c.n), c.sized) << "row " << i;
            if (!c.sized) {
                EXPECT_STREQ(out.data(), "") << "row " << i;
            }
        }
        {
            Pair p;
            p.write(c.in);
            if (c.close) p.close_peer();
            EXPECT_EQ(read_line_counted(p.reader.get(), out.data(), c.n), c.counted) << "row " << i;
            EXPECT_EQ(std::string(out.data()), c.counted_text) << "row " << i;
        }
    }
}

TEST(ReadLine, RawLineKeepsLineFeed) {
    struct Case {
        std::string in;
        int result;
        std::string line;
    };
    const std::string k8190(8190, 'x');
    const Case cases[] = {
        {"abc\r\n", 5, "abc\r\n"},
        {"\n", 1, "\n"},
        {k8190 + "\n", 8191, k8190 + "\n"},  // longest: the NUL still fits after the LF
        {k8191 + "\n", -1, ""},
        {"abc", -1, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Pair p;
        p.write(cases[i].in);
        p.close_peer();
        char out[kLineBufferSize];
        EXPECT_EQ(read_raw_line(p.reader.get(), out), cases[i].result) << "row " << i;
        EXPECT_EQ(std::string(out), cases[i].line) << "row " << i;
    }
}

TEST(ReadLine, PiecesFromSlowPeer) {
    // A line split over several writes, then raw bytes behind it.
    Pair p;
    std::thread writer([&] {
        for (const char* piece : {"hel", "lo wo", "rld\r", "\nBODY", "1234"}) {
            ASSERT_TRUE(send_text(p.peer.get(), piece));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    char line[kLineBufferSize];
    EXPECT_EQ(read_line(p.reader.get(), line), 1);
    EXPECT_STREQ(line, "hello world");
    char body[8];
    EXPECT_EQ(read_exactly(p.reader.get(), body, sizeof body), 1);
    EXPECT_EQ(std::string(body, sizeof body), "BODY1234");
    writer.join();
}

TEST(ReadExactly, FourThenSix) {
    Pair p;
    std::thread writer([&] {
        ASSERT_TRUE(send_text(p.peer.get(), "0123"));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_TRUE(send_text(p.peer.get(), "456789tail"));
    });
    char buf[10];
    EXPECT_EQ(read_exactly(p.reader.get(), buf, sizeof buf), 1);
    EXPECT_EQ(std::string(buf, sizeof buf), "0123456789");
    writer.join();
    EXPECT_EQ(p.rest(), "tail");
}

TEST(ReadExactly, PeerClosesEarly) {
    Pair p;
    p.write("0123");
    p.close_peer();
    char buf[10];
    EXPECT_EQ(read_exactly(p.reader.get(), buf, sizeof buf), 0);
}

TEST(ReadLine, TimeoutLeavesSocketError) {
    Pair p;
    timeval tv{0, 50 * 1000};
    ASSERT_EQ(::setsockopt(p.reader.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    platform::set_last_socket_error(0);
    char out[kLineBufferSize];
    EXPECT_EQ(read_line(p.reader.get(), out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(platform::last_socket_error(), platform::kWsaTimedOut);
}

// A close or a line too long is no socket error: what an earlier connection
// served by the same thread left behind must not describe it.
TEST(ReadLine, CloseAndTooLongClearAnEarlierSocketError) {
    const struct {
        const char* sent;
        bool close;
        int (*read)(int fd);
    } cases[] = {
        {"half a li", true, [](int fd) { char out[kLineBufferSize]; return read_line(fd, out); }},
        {"", true, [](int fd) { char out[kLineBufferSize]; return read_raw_line(fd, out) > 0 ? 1 : 0; }},
        {"0123456789", false, [](int fd) { char out[8]; return read_line_sized(fd, out, sizeof out); }},
        {"0123", true, [](int fd) { char out[10]; return read_exactly(fd, out, sizeof out); }},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Pair p;
        p.write(cases[i].sent);
        if (cases[i].close) p.close_peer();
        platform::set_last_socket_error(platform::kWsaConnReset);
        EXPECT_EQ(cases[i].read(p.reader.get()), 0) << "row " << i;
        EXPECT_EQ(platform::last_socket_error(), 0) << "row " << i;
    }
}

TEST(Send, FormattedIsCutAt299) {
    Pair p;
    const std::string long_text(400, 'y');
    EXPECT_EQ(send_formatted(p.peer.get(), "%s|%d", long_text.c_str(), 7), 1);
    EXPECT_EQ(send_formatted(p.peer.get(), "%d %s\r\n", 220, "ready"), 1);
    EXPECT_EQ(p.rest(), std::string(299, 'y') + "220 ready\r\n");
}

// A reply line that does not fit is cut before its line end, never through it.
TEST(Send, CutReplyLineKeepsItsLineEnd) {
    Pair p;
    const std::string name(300, 'n');
    EXPECT_EQ(send_formatted(p.peer.get(), "-ERR Sorry, %s here\r\n", name.c_str()), 1);
    EXPECT_EQ(send_formatted(p.peer.get(), "%s\r\n", std::string(297, 'a').c_str()), 1);  // fits exactly
    EXPECT_EQ(p.rest(), "-ERR Sorry, " + std::string(285, 'n') + "\r\n" + std::string(297, 'a') + "\r\n");
}

TEST(Send, ClosedPeerFailsWithoutSignal) {
    Pair p;
    p.close_peer();
    platform::set_last_socket_error(0);
    EXPECT_EQ(send_text(p.reader.get(), "hello"), 0);
    EXPECT_EQ(platform::last_socket_error(), platform::kWsaConnReset);
    EXPECT_EQ(send_formatted(p.reader.get(), "%s", "x"), 0);
}

TEST(FileLines, ForwardKeepsPositionAfterLine) {
    const platform::File f = kv::test::scratch_file("one\r\ntwo\n\nlast");
    char out[kLineBufferSize];
    const char* expected[] = {"one", "two", "", "last"};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        ASSERT_EQ(read_file_line(f.get(), out), 1) << "line " << i;
        EXPECT_STREQ(out, expected[i]) << "line " << i;
        if (i == 0) {
            char next[3];
            ASSERT_EQ(::read(f.get(), next, 3), 3);  // the position is just after "one\r\n"
            EXPECT_EQ(std::string(next, 3), "two");
            ::lseek(f.get(), -3, SEEK_CUR);
        }
    }
    EXPECT_EQ(read_file_line(f.get(), out), 0);
    EXPECT_STREQ(out, "");
}

TEST(FileLines, ForwardLimit) {
    {
        const platform::File f = kv::test::scratch_file(k8191 + "\nnext\n");
        char out[kLineBufferSize];
        EXPECT_EQ(read_file_line(f.get(), out), 1);
        EXPECT_EQ(std::string(out), k8191);
        EXPECT_EQ(read_file_line(f.get(), out), 1);
        EXPECT_STREQ(out, "next");
    }
    {
        const platform::File f = kv::test::scratch_file(k8192 + "\n");
        char out[kLineBufferSize];
        EXPECT_EQ(read_file_line(f.get(), out), 0);
        EXPECT_STREQ(out, "");
    }
}

TEST(FileLines, PreviousLinesNewestFirst) {
    // Each window size walks the same log back to its first line; the small
    // one puts a CR just before its window.
    for (std::size_t w : {std::size_t{100}, std::size_t{7}}) {
        const platform::File f = kv::test::scratch_file("first\r\nsecond\nthird\n");
        ::lseek(f.get(), 0, SEEK_END);
        std::vector<char> out(w + 1);
        std::vector<std::string> lines;
        for (int guard = 0; guard < 10 && read_previous_line(f.get(), out.data(), w); ++guard)
            lines.emplace_back(out.data());
        EXPECT_EQ(lines, (std::vector<std::string>{"", "third", "second", "first"})) << "window " << w;
        EXPECT_EQ(::lseek(f.get(), 0, SEEK_CUR), 0) << "window " << w;
    }
}

TEST(FileLines, PreviousLineLongerThanWindow) {
    const platform::File f = kv::test::scratch_file("abcdefghij\nxyz");
    ::lseek(f.get(), 0, SEEK_END);
    char out[5];
    EXPECT_EQ(read_previous_line(f.get(), out, 4), 1);
    EXPECT_STREQ(out, "xyz");
    EXPECT_EQ(read_previous_line(f.get(), out, 4), 0);  // "ghij" has no LF and is not the start
    EXPECT_STREQ(out, "");
}

TEST(FileLines, WriteFormatted) {
    const platform::File f = kv::test::scratch_file("");
    EXPECT_EQ(write_formatted(f.get(), "%s=%d\n", "a", 1), 1);
    EXPECT_EQ(write_formatted(f.get(), "%s", std::string(350, 'z').c_str()), 1);
    EXPECT_EQ(::lseek(f.get(), 0, SEEK_CUR), 4 + 299);
}

// A client that sends a byte every 50 ms never trips a receive time-out, yet
// a line or a counted read gives up once its whole limit has passed, with
// the error of a receive that timed out; the limit ends with its scope.
TEST(ReadDeadline, ADripFeedingClientIsCutOffAtTheWholeLimit) {
    for (const bool counted : {false, true}) {
        Pair p;
        std::thread dripper([fd = p.peer.get()] {
            for (int i = 0; i < 40; ++i) {
                if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        const auto start = std::chrono::steady_clock::now();
        char out[kLineBufferSize];
        int ok = 0;
        if (counted) {
            const ReadDeadline whole(300);
            ok = read_exactly(p.reader.get(), out, 1000);
        } else {
            ok = read_line_within(p.reader.get(), out, sizeof out, 300);
        }
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(ok, 0) << counted;
        EXPECT_EQ(platform::last_socket_error(), 10060) << counted;
        EXPECT_LT(took, std::chrono::milliseconds(1500)) << counted;  // the drip lasts 2 s
        EXPECT_FALSE(read_deadline_passed());                       // nothing armed any more
        (void)::shutdown(p.reader.get(), SHUT_RDWR);                  // the dripper's next send fails
        dripper.join();
    }
}

}  // namespace
}  // namespace kv::net
