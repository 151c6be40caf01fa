#include "platform/bounded_text.h"
#include "proxy/http_relay.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "conn/connection_record.h"
#include "tests/unit/proxy/proxy_rig.h"

namespace kv::proxy {
namespace {

using test::Rig;
using kv::test::drain;  // with the rig's two idle seconds: until the peer closes or goes quiet

// Sets parent proxy settings for one test and puts the defaults back.
struct ParentSettings {
    ParentSettings(const char* parent, const char* user, const char* password) {
        auto& s = config::live();
        platform::copy_bounded(s.ParentProxy, parent);
        platform::copy_bounded(s.ParentProxyUsername, user);
        platform::copy_bounded(s.ParentProxyPassword, password);
    }
    ~ParentSettings() {
        auto& s = config::live();
        s.ParentProxy[0] = s.ParentProxyUsername[0] = s.ParentProxyPassword[0] = '\0';
    }
};

constexpr char kBrowserHeaders[] =
    "Host: example.com\r\n"
    "Proxy-Connection: Keep-Alive\r\n"
    "Proxy-Authorization: Basic YnJvd3Nlcjpwdw==\r\n"
    "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\n"
    "Pragma: no-cache\r\n"
    "Connection: close\r\n"
    "\r\n";

TEST(HttpRelay, RequestSentUpstream) {
    struct Case {
        const char* url;
        const char* parent;
        const char* user;
        const char* password;
        int no_cache;
        const char* expected;
    };
    const Case kCases[] = {
        // Directly: the path alone; the proxy's own headers stay here.
        {"http://example.com/x?y", "", "", "", 0,
         "GET /x?y HTTP/1.0\r\nHost: example.com\r\n"
         "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\nPragma: no-cache\r\nConnection: close\r\n\r\n"},
        // With Pragma the conditional goes too.
        {"http://example.com/x?y", "", "", "", 1,
         "GET /x?y HTTP/1.0\r\nHost: example.com\r\nPragma: no-cache\r\nConnection: close\r\n\r\n"},
        // Through the parent: the full URL, the browser's credentials and ours.
        {"http://example.com/x?y", "parent.example", "alice", "pw", 1,
         "GET http://example.com/x?y HTTP/1.0\r\nHost: example.com\r\n"
         "Proxy-Authorization: Basic YnJvd3Nlcjpwdw==\r\nPragma: no-cache\r\nConnection: close\r\n"
         "Proxy-Authorization: Basic YWxpY2U6cHc=\r\n\r\n"},
        // No parent user: nothing added; a port outside 21/70/80 is kept.
        {"http://example.com:8080/", "parent.example", "", "secret", 0,
         "GET http://example.com:8080/ HTTP/1.0\r\nHost: example.com\r\n"
         "Proxy-Authorization: Basic YnJvd3Nlcjpwdw==\r\n"
         "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\nPragma: no-cache\r\nConnection: close\r\n\r\n"},
        {"ftp://ftp.example.com/pub/", "parent.example", "", "", 1,
         "GET ftp://ftp.example.com/pub/ HTTP/1.0\r\nHost: example.com\r\n"
         "Proxy-Authorization: Basic YnJvd3Nlcjpwdw==\r\nPragma: no-cache\r\nConnection: close\r\n\r\n"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        ParentSettings parent(c.parent, c.user, c.password);
        Rig rig;
        ASSERT_EQ(rig.load(std::string("GET ") + c.url + " HTTP/1.0\r\n" + kBrowserHeaders), 1) << "row " << i;
        rig.r->proxy.via_parent = c.parent[0] != '\0';
        rig.r->proxy.no_cache = c.no_cache;
        ASSERT_EQ(send_request_upstream(*rig.r), 1) << "row " << i;
        conn::close_server_socket(*rig.r);
        EXPECT_EQ(drain(rig.upstream), c.expected) << "row " << i;
    }
}

struct ResponseCase {
    std::string response;
    std::string to_browser;
    int result;
    int status;
    long long bytes;
    long long expected_size;
};

std::string header_of_length(std::size_t n) {
    std::string h = "HTTP/1.0 200 OK\r\nX-Fill: ";
    h += std::string(n - h.size() - 4, 'f');
    h += "\r\n\r\n";
    return h;
}

TEST(HttpRelay, Responses) {
    const std::string big(20000, 'b');
    const std::string h2049 = header_of_length(2049);
    const std::string h2050 = header_of_length(2050);
    const std::string redirect = "HTTP/1.0 302 Found\r\nLocation: http://example.com/x\r\n\r\n";
    const ResponseCase kCases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nExpires: Thu, 01 Dec 1994 16:00:00 GMT\r\nX: y\r\n\r\nhello",
         "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nX: y\r\n\r\nhello", 1, 200, 5, 5},
        // A 3xx header counts as sent bytes.
        {redirect, redirect, 1, 302, static_cast<long long>(redirect.size()), 0},
        {"HTTP/1.1 404 Not Found\r\n\r\nnope", "HTTP/1.1 404 Not Found\r\n\r\nnope", 1, 404, 4, 0},
        {"http/1.0 200 OK\nA: b\n\nbody", "http/1.0 200 OK\nA: b\n\nbody", 1, 200, 4, 0},
        // Not HTTP/1.x: passed on untouched.
        {"hello world", "hello world", 1, 0, 11, 0},
        {"HTTP", "HTTP", 1, 0, 4, 0},
        // The server's close ends the header.
        {"HTTP/1.0 200 OK\r\nX: y", "HTTP/1.0 200 OK\r\nX: y", 1, 200, 0, 0},
        {"HTTP/1.0 200 OK\r\n\r\n" + big, "HTTP/1.0 200 OK\r\n\r\n" + big, 1, 200, 20000, 0},
        // No status number: nothing reaches the browser.
        {"HTTP/1.0 abc\r\n\r\n", "", 0, 0, 0, 0},
        // The header limit, from both sides.
        {h2049 + "tail", h2049 + "tail", 1, 200, 4, 0},
        {h2050 + "tail", "", 0, 0, 0, 0},
        // An empty answer.
        {"", "", 1, 0, 0, 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const ResponseCase& c = kCases[i];
        Rig rig;
        ASSERT_EQ(rig.load("GET http://example.com/ HTTP/1.0\r\n\r\n"), 1) << "row " << i;
        Rig::put(rig.upstream, c.response);
        ::shutdown(rig.upstream.get(), SHUT_WR);
        EXPECT_EQ(http_relay(*rig.r), c.result) << "row " << i;
        conn::close_client_socket(*rig.r);
        EXPECT_EQ(drain(rig.browser), c.to_browser) << "row " << i;
        if (c.result) {
            EXPECT_EQ(rig.r->proxy.status, c.status) << "row " << i;
            EXPECT_EQ(rig.r->proxy.bytes_sent, c.bytes) << "row " << i;
            EXPECT_EQ(rig.r->proxy.expected_size, c.expected_size) << "row " << i;
        }
    }
}

TEST(HttpRelay, ResponseArrivingInPieces) {
    Rig rig;
    ASSERT_EQ(rig.load("GET http://example.com/ HTTP/1.0\r\n\r\n"), 1);
    const int fd = rig.upstream.get();
    std::thread origin([fd] {
        const char* pieces[] = {"HT", "TP/1", ".0 200 OK\r", "\nExpi", "res: x\r\n", "\r", "\nab", "cd"};
        for (const char* piece : pieces) {
            (void)net::send_text(fd, piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::shutdown(fd, SHUT_WR);
    });
    EXPECT_EQ(http_relay(*rig.r), 1);
    origin.join();
    conn::close_client_socket(*rig.r);
    EXPECT_EQ(drain(rig.browser), "HTTP/1.0 200 OK\r\n\r\nabcd");
    EXPECT_EQ(rig.r->proxy.bytes_sent, 4);
}

TEST(HttpRelay, InterimAnswerIsFollowedByTheFinalOne) {
    // An origin that answers "Expect: 100-continue" first: the browser gets
    // the interim answer and, after it, the real one.
    Rig rig;
    ASSERT_EQ(rig.load("POST http://example.com/f HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi"), 1);
    const int fd = rig.upstream.get();
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string final_answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    std::thread origin([&] {
        (void)net::send_text(fd, interim.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)net::send_text(fd, final_answer.c_str());
        ::shutdown(fd, SHUT_WR);
    });
    EXPECT_EQ(http_relay(*rig.r), 1);
    origin.join();
    conn::close_client_socket(*rig.r);
    EXPECT_EQ(drain(rig.browser), interim + final_answer);
}

TEST(HttpRelay, PostBodyForwarded) {
    struct Case {
        std::string head_and_early_body;
        std::string later_body;
        std::string upstream;
        int error;
    };
    const Case kCases[] = {
        // Part of the body came with the head, the rest follows.
        {"POST http://example.com/f HTTP/1.0\r\nContent-Length: 10\r\n\r\n01234", "56789",
         "POST /f HTTP/1.0\r\nContent-Length: 10\r\n\r\n0123456789", 0},
        {"PUT http://example.com/f HTTP/1.0\r\nContent-Length: 3\r\n\r\n", "abc",
         "PUT /f HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", 0},
        // Length 0: what the browser sent within the short wait.
        {"POST http://example.com/f HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "xyz",
         "POST /f HTTP/1.0\r\nContent-Length: 0\r\n\r\nxyz", kErrorZeroContentLength},
        {"post http://example.com/f HTTP/1.0\r\n\r\nearly", "",
         "post /f HTTP/1.0\r\n\r\nearly", kErrorNoContentLength},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        Rig rig;
        ASSERT_EQ(rig.load(c.head_and_early_body), 1) << "row " << i;
        if (!c.later_body.empty()) Rig::put(rig.browser, c.later_body);
        Rig::put(rig.upstream, "HTTP/1.0 200 OK\r\n\r\ndone");
        ::shutdown(rig.upstream.get(), SHUT_WR);
        EXPECT_EQ(http_relay(*rig.r), 1) << "row " << i;
        EXPECT_EQ(rig.r->proxy.error, c.error) << "row " << i;
        conn::close_server_socket(*rig.r);
        EXPECT_EQ(drain(rig.upstream), c.upstream) << "row " << i;
    }
}

TEST(HttpRelay, PostBrowserGoneBeforeBodyEnds) {
    Rig rig;
    ASSERT_EQ(rig.load("POST http://example.com/f HTTP/1.0\r\nContent-Length: 10\r\n\r\n012"), 1);
    ::shutdown(rig.browser.get(), SHUT_WR);
    EXPECT_EQ(http_relay(*rig.r), 0);
    EXPECT_EQ(rig.r->proxy.discard, rig.r->proxy.discard_on_abort);
}

TEST(ConnectTunnel, DirectAndThroughParent) {
    for (int via_parent : {0, 1}) {
        Rig rig;
        ASSERT_EQ(rig.load("CONNECT secure.example.com:443 HTTP/1.0\r\n\r\nHELLO"), 1);
        rig.r->proxy.via_parent = via_parent;
        // The server answers and closes; that ends the pipe.
        Rig::put(rig.upstream, "from-server");
        ::shutdown(rig.upstream.get(), SHUT_WR);
        connect_tunnel(*rig.r);
        conn::close_client_socket(*rig.r);
        conn::close_server_socket(*rig.r);
        const std::string to_browser = drain(rig.browser);
        const std::string to_server = drain(rig.upstream);
        if (via_parent) {
            EXPECT_EQ(to_browser, "from-server");
            EXPECT_EQ(to_server, "CONNECT secure.example.com:443 HTTP/1.0\r\n\r\nHELLO");
        } else {
            EXPECT_EQ(to_browser, "HTTP/1.0 200 Connection established\r\nProxy-agent: Korvanet/1.5.3 \r\n\r\nfrom-server");
            EXPECT_EQ(to_server, "HELLO");
        }
    }
}

TEST(SendWithCacheCopy, BrowserGone) {
    Rig rig;
    ASSERT_EQ(rig.load("GET http://example.com/a.zip HTTP/1.0\r\n\r\n"), 1);
    rig.browser.reset();
    std::memcpy(rig.r->work, "data", 4);
    // Not cacheable: the transfer ends, the object state is untouched.
    rig.r->proxy.cacheable = 0;
    EXPECT_EQ(send_to_client_with_cache_copy(*rig.r, 4), 0);
    EXPECT_EQ(rig.r->proxy.discard, 0);
    // Cacheable, nobody following, ContinueAborted off: discard as on abort.
    rig.r->proxy.cacheable = 1;
    EXPECT_EQ(send_to_client_with_cache_copy(*rig.r, 4), 0);
    EXPECT_EQ(rig.r->proxy.discard, 1);
    EXPECT_NE(rig.r->proxy.error, 0);
}

}  // namespace
}  // namespace kv::proxy
