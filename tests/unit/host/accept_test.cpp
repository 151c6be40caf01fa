// The accept thread and connection threads together, with real sockets; also
// run under ThreadSanitizer (make tsan).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "host/service_table.h"
#include "conn/task_table.h"
#include "log/logs.h"
#include "net/line_io.h"
#include "tests/unit/test_support.h"

namespace {

using kv::platform::Socket;

std::atomic<int> g_handled{0};

int echo_once(kv::conn::ConnectionRecord& r) {
    if (kv::net::read_line(r.client.get(), r.work)) {
        (void)kv::net::send_text(r.client.get(), r.work);
        (void)kv::net::send_text(r.client.get(), "\n");
    }
    // Then wait for the client to go (or a kill / stop to wake us).
    char c;
    while (recv(r.client.get(), &c, 1, 0) > 0) {
    }
    g_handled.fetch_add(1);
    return 1;
}

unsigned short port_of(const Socket& s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A client of the service on port that gives up reading after five seconds.
Socket connect_to(unsigned short port) {
    Socket s = kv::test::loopback_connect(port);
    timeval tv{5, 0};
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

std::string line_from(const Socket& s) {
    std::string out;
    char c;
    while (recv(s.get(), &c, 1, 0) == 1 && c != '\n') out += c;
    return out;
}

TEST(HostAccept, ServesManyClientsKillsAndStops) {
    const kv::test::ScratchLogs logs("accept");
    ASSERT_TRUE(logs.opened());
    kv::config::reset_lists(kv::config::live().lists);
    kv::host::clear_service_table();
    ASSERT_EQ(kv::host::register_service(0, "ECHO A", nullptr, nullptr, echo_once), 1);
    ASSERT_EQ(kv::host::register_service(0, "ECHO B", nullptr, nullptr, echo_once), 1);
    ASSERT_EQ(kv::host::start_services(), 1);
    EXPECT_EQ(kv::host::start_services(), 0);  // already started
    unsigned short ports[2] = {port_of(kv::host::row(0).listener), port_of(kv::host::row(1).listener)};

    constexpr int kClients = 24;
    std::vector<Socket> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(connect_to(ports[i % 2]));
        ASSERT_TRUE(clients.back().valid());
    }
    std::vector<std::thread> talkers;
    std::atomic<int> echoed{0};
    for (int i = 0; i < kClients; ++i) {
        talkers.emplace_back([&, i] {
            std::string msg = "client " + std::to_string(i) + "\n";
            if (send(clients[i].get(), msg.data(), msg.size(), 0) > 0 && line_from(clients[i]) + "\n" == msg)
                echoed.fetch_add(1);
        });
    }
    for (auto& t : talkers) t.join();
    EXPECT_EQ(echoed.load(), kClients);
    EXPECT_EQ(kv::conn::active_connections(), kClients);

    // Kill one by its serial: its handler wakes and ends.
    int serial = -1;
    for (int i = 0; i < kv::conn::kTaskSlots && serial < 0; ++i)
        if (kv::conn::slot(i).in_use.load()) serial = kv::conn::slot(i).serial.load();
    ASSERT_GE(serial, 0);
    EXPECT_EQ(kv::conn::kill_by_serial(serial), 1);
    EXPECT_EQ(kv::conn::active_connections(), kClients - 1);

    // Stop with every other connection still open: all wake and end.
    EXPECT_EQ(kv::host::stop_services(), 1);
    for (int i = 0; i < 50 && kv::conn::any_active_connection(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(kv::conn::any_active_connection());
    EXPECT_EQ(g_handled.load(), kClients);
    EXPECT_EQ(kv::host::stop_services(), 0);
}

}  // namespace
