#include "net/relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "net/net_links.h"
#include "log/logs.h"
#include "platform/socket.h"
#include "tests/unit/test_support.h"

namespace {

void set_idle_minutes(int minutes) {
    kv::net::NetLinks links = kv::net::net_links();
    links.timeout_minutes = minutes;
    kv::net::set_net_links(links);
}

using kv::platform::Socket;

using kv::test::tcp_pair;

std::string recv_n(int fd, std::size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(logs_.opened());
        set_idle_minutes(10);
        tcp_pair(client_, client_side_);
        tcp_pair(server_side_, server_);
    }
    std::string error_log() { return logs_.error_log(); }
    kv::test::ScratchLogs logs_{"relay"};
    // client_ <-> client_side_ =relay= server_side_ <-> server_
    Socket client_, client_side_, server_side_, server_;
};

TEST_F(RelayTest, CarriesBothWaysAndEndsWhenAPeerCloses) {
    int result = -1;
    std::thread t([&] {
        char buf[8192];
        result = kv::net::relay(client_side_.get(), server_side_.get(), buf, sizeof buf);
    });
    std::string big(300000, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    std::thread writer([&] { ASSERT_EQ(send(client_.get(), big.data(), big.size(), 0), static_cast<ssize_t>(big.size())); });
    EXPECT_EQ(recv_n(server_.get(), big.size()), big);
    writer.join();
    ASSERT_EQ(send(server_.get(), "pong", 4, 0), 4);
    EXPECT_EQ(recv_n(client_.get(), 4), "pong");
    server_.reset();
    t.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(error_log(), "");
    // The relay leaves both sockets open and blocking.
    EXPECT_GE(fcntl(client_side_.get(), F_GETFL), 0);
    EXPECT_EQ(fcntl(client_side_.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(RelayTest, ResetEndsWithFailureAndNoEntry) {
    int result = -1;
    std::thread t([&] {
        char buf[8192];
        result = kv::net::relay(client_side_.get(), server_side_.get(), buf, sizeof buf);
    });
    ASSERT_EQ(send(client_.get(), "x", 1, 0), 1);
    EXPECT_EQ(recv_n(server_.get(), 1), "x");
    linger lg{1, 0};  // close with RST
    setsockopt(server_.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    server_.reset();
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error_log(), "");
}

TEST_F(RelayTest, IdleTimeEndsWithSuccess) {
    set_idle_minutes(0);  // no idle time at all
    char buf[8192];
    EXPECT_EQ(kv::net::relay(client_side_.get(), server_side_.get(), buf, sizeof buf), 1);
    set_idle_minutes(10);
}

TEST_F(RelayTest, ShutdownFromAnotherThreadEndsIt) {
    int result = -1;
    std::thread t([&] {
        char buf[8192];
        result = kv::net::relay(client_side_.get(), server_side_.get(), buf, sizeof buf);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client_side_.shutdown_both();
    t.join();
    EXPECT_EQ(result, 1);
}

// The server resets while bytes for a browser that reads nothing are still
// held: the relay waits for the browser without spinning on the reset.
TEST_F(RelayTest, ResetServerWhileBrowserStallsDoesNotSpin) {
    // As in the server: a write to a closed socket is an error, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    int result = -1;
    std::thread t([&] {
        char buf[8192];
        result = kv::net::relay(client_side_.get(), server_side_.get(), buf, sizeof buf);
    });
    // Fill every buffer on the way to the browser until the server can send no more.
    std::string block(65536, 'z');
    auto idle_since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - idle_since < std::chrono::milliseconds(300)) {
        if (send(server_.get(), block.data(), block.size(), MSG_DONTWAIT) > 0)
            idle_since = std::chrono::steady_clock::now();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    linger lg{1, 0};  // close with RST
    setsockopt(server_.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    server_.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    clockid_t cpu;
    ASSERT_EQ(pthread_getcpuclockid(t.native_handle(), &cpu), 0);
    timespec before{}, after{};
    clock_gettime(cpu, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    clock_gettime(cpu, &after);
    const double busy_ms = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(busy_ms, 100.0);

    client_side_.shutdown_both();
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error_log(), "");
}

// Sockets that cannot splice take the copying path with the same contract.
TEST(RelayCopying, LocalSocketsCarryBothWaysAndEndOnClose) {
    Socket client, client_side, server_side, server;
    kv::test::unix_pair(client, client_side);
    kv::test::unix_pair(server_side, server);
    set_idle_minutes(10);
    int result = -1;
    std::thread t([&] {
        char buf[8192];
        result = kv::net::relay(client_side.get(), server_side.get(), buf, sizeof buf);
    });
    std::string big(100000, 'q');
    std::thread writer([&] { ASSERT_EQ(send(client.get(), big.data(), big.size(), 0), static_cast<ssize_t>(big.size())); });
    EXPECT_EQ(recv_n(server.get(), big.size()), big);
    writer.join();
    ASSERT_EQ(send(server.get(), "back", 4, 0), 4);
    EXPECT_EQ(recv_n(client.get(), 4), "back");
    client.reset();
    t.join();
    EXPECT_EQ(result, 1);
}

}  // namespace
