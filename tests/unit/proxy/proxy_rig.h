#pragma once
// A connection record whose client and server sockets are local socket pairs, with
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
#include "tests/unit/test_support.h"

namespace kv::proxy::test {

struct Rig {
    std::unique_ptr<conn::ConnectionRecord> r = std::make_unique<conn::ConnectionRecord>();
    platform::Socket browser;
    platform::Socket upstream;

    // Every end gives up reading after two idle seconds.
    Rig() {
        kv::test::unix_pair(r->client, browser);
        kv::test::unix_pair(r->server, upstream);
        for (int fd : {r->client.get(), browser.get(), r->server.get(), upstream.get()}) {
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
};

}  // namespace kv::proxy::test
