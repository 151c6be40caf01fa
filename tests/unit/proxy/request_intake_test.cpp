#include "proxy/request_intake.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket_error.h"
#include "tests/unit/proxy/proxy_rig.h"

namespace kv::proxy {
namespace {

using test::Rig;
using kv::test::drain;  // with the rig's two idle seconds: until the peer closes or goes quiet

constexpr char k504Head[] = "HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n";
constexpr char kErrorDetectedBy[] =
    "<p><I>Error detected by <B><FONT SIZE=\"+2\"><FONT COLOR=\"#FF0000\">Korv</FONT>"
    "<FONT COLOR=\"#0000FF\">anet</FONT></FONT>&nbsp;1.5.3 </B></I>";

TEST(ReadRequestHead, ArrivesInPieces) {
    Rig rig;
    const int fd = rig.browser.get();
    std::thread browser([fd] {
        const char* pieces[] = {"GET", " http://ex", "ample.com/a HT", "TP/1.0\r\nHost: x\r\n\r", "\nBODY"};
        for (const char* piece : pieces) {
            (void)net::send_text(fd, piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    ASSERT_EQ(read_request_head(*rig.r), 1);
    browser.join();
    EXPECT_STREQ(rig.r->proxy.request, "GET http://example.com /a HTTP/1.0\r\nHost: x\r\n\r\n");
    EXPECT_EQ(std::string(rig.r->proxy.body, static_cast<std::size_t>(rig.r->proxy.body_length)), "BODY");
}

TEST(ReadRequestHead, Failures) {
    struct Case {
        std::string sent;
        bool close;
        int error;
    };
    const Case kCases[] = {
        {"GET http://example.com/ HTTP/1.0\r\n", true, 0},  // closed before the end
        {"", true, 0},
        {"GET http://example.com/ HTTP/1.0\r\n", false, platform::kWsaTimedOut},  // then silence
        {std::string(9000, 'a'), false, kErrorHeadTooLong},
        {std::string(8190, 'a') + "\r\n\r\n", false, kErrorHeadTooLong},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        Rig rig;
        timeval tv{0, 200000};
        ::setsockopt(rig.r->client.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        Rig::put(rig.browser, c.sent);
        if (c.close) rig.browser.reset();
        EXPECT_EQ(read_request_head(*rig.r), 0) << "row " << i;
        EXPECT_EQ(rig.r->proxy.error, c.error) << "row " << i;
    }
}

// Requests the handler answers without any upstream, and what the browser sees.
TEST(HandleConnection, OwnAnswers) {
    struct Case {
        std::string request;
        std::string answer;
    };
    const Case kCases[] = {
        {"GET http://example.com:http/ HTTP/1.0\r\nHost: a\r\n\r\n",
         std::string(k504Head) +
             "<H4><font COLOR=\"#FF0000\">Error parsing http request : </font></H2><p><pre>"
             "GET http://example.com:http / HTTP/1.0\r\nHost: a\r\n\r\n</pre>"},
        {"GET http://example.com/ HTTP/1.0\r\nIf-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\n\r\n",
         "HTTP/1.0 304 Not Modified\r\n\r\n"},
        {"GET http://example.com/p.html;refresh HTTP/1.0\r\n\r\n",
         "HTTP/1.0 301 Moved Permanently\r\nContent-Type: text/html\r\nLocation: http://example.com/p.html\r\n\r\n"},
        {"GET http://example.com:8080/p;refresh HTTP/1.0\r\n\r\n",
         "HTTP/1.0 301 Moved Permanently\r\nContent-Type: text/html\r\nLocation: http://example.com:8080/p\r\n\r\n"},
        {"GET ftp://ftp.example.com/pub/;refresh HTTP/1.0\r\n\r\n",
         "HTTP/1.0 301 Moved Permanently\r\nContent-Type: text/html\r\nLocation: ftp://ftp.example.com/pub/\r\n\r\n"},
        // Nothing listens on port 1 of the loopback.
        {"GET http://127.0.0.1:1/x HTTP/1.0\r\n\r\n",
         std::string(k504Head) +
             "<H2><font COLOR=\"#FF0000\">Error :</font></H2><P> Can't connect to host <B>127.0.0.1</B> on port "
             "<B>1</B>!<HR><B>Reason </B>: Connection refused." +
             kErrorDetectedBy},
        // A head that never ends gets no answer.
        {std::string(8192, 'x'), ""},
        {std::string("\x01\x02\xff\n\n\n\n\n\n", 10), std::string(k504Head) +
             "<H4><font COLOR=\"#FF0000\">Error parsing http request : </font></H2><p><pre>"
             "\x01\x02\xff\n\n\n</pre>"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        Rig rig;
        Rig::put(rig.browser, c.request);
        ::shutdown(rig.browser.get(), SHUT_WR);
        EXPECT_EQ(handle_connection(*rig.r), 0) << "row " << i;
        EXPECT_FALSE(rig.r->client.valid()) << "row " << i;
        EXPECT_EQ(drain(rig.browser), c.answer) << "row " << i;
    }
}

}  // namespace
}  // namespace kv::proxy
