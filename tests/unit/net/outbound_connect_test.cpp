#include "net/outbound_connect.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "platform/socket_error.h"
#include "tests/unit/test_support.h"

namespace {

using kv::platform::Socket;

// A loopback port with nothing listening on it.
unsigned short closed_port() {
    unsigned short port = 0;
    kv::test::loopback_listener(&port);  // closed again at once
    return port;
}

TEST(OutboundConnect, ConnectsToAListener) {
    unsigned short port = 0;
    Socket listener = kv::test::loopback_listener(&port);
    ASSERT_TRUE(listener.valid());
    for (bool may_dial : {false, true}) {
        Socket out;
        char reason[kv::net::kReasonSize] = "";
        std::atomic<int> dial_use{5};
        ASSERT_EQ(kv::net::outbound_connect("127.0.0.1", port, may_dial, &out, reason, sizeof reason,
                                            &dial_use), 1);
        EXPECT_TRUE(out.valid());
        EXPECT_STREQ(reason, "");
        if (may_dial) {
            EXPECT_EQ(dial_use.load(), 0);  // not over a dial-up link
        }
    }
}

TEST(OutboundConnect, FailureReasons) {
    struct Case {
        const char* host;
        bool may_dial;
        std::string reason;
        int error;
    };
    unsigned short port = closed_port();
    const Case cases[] = {
        {"127.0.0.1", false, "Connection refused.", kv::platform::kWsaConnRefused},
        {"127.0.0.1", true, "Connection refused.", kv::platform::kWsaConnRefused},
        {"no-such-host.invalid", false, "Host \"no-such-host.invalid\" doesn't have DNS entry!", 0},
        {"", true, "Host \"\" doesn't have DNS entry!", 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Socket out;
        char reason[kv::net::kReasonSize] = "";
        EXPECT_EQ(kv::net::outbound_connect(cases[i].host, port, cases[i].may_dial, &out, reason, sizeof reason), 0)
            << "row " << i;
        EXPECT_FALSE(out.valid()) << "row " << i;
        EXPECT_EQ(reason, cases[i].reason) << "row " << i;
        if (cases[i].error) {
            EXPECT_EQ(kv::platform::last_socket_error(), cases[i].error) << "row " << i;
        } else {
            EXPECT_GE(kv::platform::last_socket_error(), kv::platform::kWsaHostNotFound) << "row " << i;
        }
    }
}

TEST(OutboundConnect, ReasonTextsByError) {
    using kv::net::OutboundFailure;
    struct Case {
        OutboundFailure kind;
        int error;
        bool may_dial;
        const char* reason;
    };
    const Case cases[] = {
        {OutboundFailure::kConnect, 10051, false, "Network unreachable."},
        {OutboundFailure::kConnect, 10060, true, "Connect timeout."},
        {OutboundFailure::kConnect, 10061, false, "Connection refused."},
        {OutboundFailure::kConnect, 10065, true, "Host unreachable."},
        {OutboundFailure::kConnect, 10054, true, "connect to the host h.example failed"},
        {OutboundFailure::kConnect, 10054, false, "failed to connect to \"h.example\""},
        {OutboundFailure::kNoDnsEntry, 11001, true, "Host \"h.example\" doesn't have DNS entry!"},
        {OutboundFailure::kNoSocket, 10024, false, "can't create socker"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        char reason[kv::net::kReasonSize];
        kv::net::failure_reason(cases[i].kind, cases[i].error, cases[i].may_dial, "h.example", reason,
                                sizeof reason);
        EXPECT_STREQ(reason, cases[i].reason) << "row " << i;
    }
}

}  // namespace
