#pragma once
// A connection record whose client and server sockets are socketpairs, with
// the far ends (the browser's and the upstream's) kept by the test.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "conn/connection_record.h"
#include "net/line_io.h"
#include "platform/socket.h"
#include "proxy/request_intake.h"

namespace kv::proxy::test {

struct Rig {
    std::unique_ptr<conn::ConnectionRecord> r = std::make_unique<conn::ConnectionRecord>();
    platform::Socket browser;
    platform::Socket upstream;

    Rig() {
        int a[2], b[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
        r->client.reset(a[0]);
        browser.reset(a[1]);
        r->server.reset(b[0]);
        upstream.reset(b[1]);
        for (int fd : {a[0], a[1], b[0], b[1]}) {
            timeval tv{2, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
    }

    // Puts a head (and any bytes after it) into the request buffer as the
    // reader would and parses it with the live settings. 1 when it parsed.
    int load(std::string_view raw) {
        std::memcpy(r->proxy.request, raw.data(), raw.size());
        if (take_request_head(r->proxy, raw.size()) != kHeadComplete) return 0;
        return parse_request(*r);
    }

    static void put(const platform::Socket& s, std::string_view bytes) {
        EXPECT_EQ(net::send_all(s.get(), bytes.data(), bytes.size()), 1);
    }
    // Everything until the peer closes (or two idle seconds).
    static std::string drain(const platform::Socket& s) {
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
            if (n <= 0) return out;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
};

}  // namespace kv::proxy::test
