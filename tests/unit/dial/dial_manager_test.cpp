#include "dial/dial_manager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "config/settings.h"
#include "platform/bounded_text.h"
#include "tests/unit/test_support.h"

namespace kv::dial {
namespace {

// The pppd side as a table the test sets: what a dial gives, when the line
// is up, when it ends, and who was hung up.
class FakeLink final : public platform::PppLink {
public:
    pid_t dial(const char*, const char*, const char*) override {
        ++dials;
        return next_pid;
    }
    in_addr_t line_address(pid_t) override { return up.load() ? inet_addr("10.1.2.3") : 0; }
    int ended(pid_t, int* status) override {
        *status = exit_status.load();
        return exited.load() ? 1 : 0;
    }
    void hang_up(pid_t pid) override { hung_up.store(pid); }
    int foreign_line(const char*, pid_t, pid_t* pid, in_addr_t* address) override {
        if (!foreign.load()) return 0;
        *pid = 777;
        *address = inet_addr("10.9.9.9");
        return 1;
    }
    void run_command(const char*, bool) override { ++commands; }
    void reap_commands() override {}

    pid_t next_pid = 4242;
    std::atomic<int> dials{0}, commands{0}, exit_status{0};
    std::atomic<bool> up{false}, exited{false}, foreign{false};
    std::atomic<pid_t> hung_up{0};
};

bool eventually(const std::function<bool()>& done, int ms = 3000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

class Manager : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(peers.path / "work") << "# peer\n";
        ::setenv("KORVANET_PPPD", "/bin/sh", 1);  // present and executable: the manager runs
        ::setenv("KORVANET_PPP_PEERS", peers.path.c_str(), 1);
        config::Settings& s = config::live();
        platform::copy_bounded(s.ConnName, "work");
        platform::copy_bounded(s.RunOnDial, "true");
        use_ppp_link(&link);
        ASSERT_EQ(start_dial_manager(false), 1);
        ASSERT_TRUE(running());
    }
    void TearDown() override {
        stop_dial_manager();
        use_ppp_link(nullptr);
        platform::copy_bounded(config::live().ConnName, "(none)");
        platform::copy_bounded(config::live().RunOnDial, "");
        ::unsetenv("KORVANET_PPPD");
        ::unsetenv("KORVANET_PPP_PEERS");
    }
    test::ScratchDir peers;
    FakeLink link;
};

TEST_F(Manager, DialsConnectsCountsTrafficAndHangsUpOurLine) {
    request_dial();
    ASSERT_TRUE(eventually([&] { return link.dials.load() == 1 && state() == 1; }));
    link.up.store(true);
    ASSERT_TRUE(eventually([] { return connected(); }));
    EXPECT_STREQ(link_address_text(), "10.1.2.3");
    EXPECT_STREQ(status_text(), "Connection successfuly established, our IP address : 10.1.2.3");
    EXPECT_TRUE(eventually([&] { return link.commands.load() == 1; }));
    EXPECT_EQ(minutes_to_hangup(), config::live().HangUp);
    note_traffic(inet_addr("127.0.0.1"));  // not the link's
    note_traffic(link_address());
    request_hangup();
    EXPECT_TRUE(eventually([&] { return link.hung_up.load() == 4242; }));
    EXPECT_EQ(state(), 0);
    EXPECT_EQ(link_address(), 0u);
}

std::atomic<bool> g_transfer{false};

TEST_F(Manager, MailTransferHoldsTheWindowAndTheLineThenLetsItGo) {
    config::Settings& s = config::live();
    platform::copy_bounded(s.DemandDialSun, "");  // every day closed
    for (char* day : {s.DemandDialMon, s.DemandDialTue, s.DemandDialWed, s.DemandDialThu, s.DemandDialFri,
                      s.DemandDialSat})
        day[0] = '\0';
    EXPECT_FALSE(window_open());
    force_window(1);
    EXPECT_TRUE(window_open());
    // A line dialled during a transfer goes down as soon as the transfer is over.
    g_transfer.store(true);
    set_dial_hooks({nullptr, [] { return g_transfer.load(); }});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the thread's first reset
    set_idle_ticks(999999);
    link.up.store(true);
    request_dial();
    ASSERT_TRUE(eventually([] { return connected(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the first pass has looked
    EXPECT_TRUE(connected());
    g_transfer.store(false);
    EXPECT_TRUE(eventually([&] { return link.hung_up.load() == 4242; }, 7000));
    force_window(0);
    EXPECT_FALSE(window_open());
    set_dial_hooks({});
    for (char* day : {s.DemandDialSun, s.DemandDialMon, s.DemandDialTue, s.DemandDialWed, s.DemandDialThu,
                      s.DemandDialFri, s.DemandDialSat})
        platform::copy_bounded(day, "00:00-23:59", sizeof s.DemandDialSun);
}

TEST_F(Manager, FailedDialGivesItsTextAndTheNextWaits) {
    link.exit_status.store(19 << 8);
    link.exited.store(true);
    request_dial();
    ASSERT_TRUE(eventually([&] { return link.dials.load() == 1 && state() == 0; }));
    EXPECT_STREQ(status_text(), "Access denied because username and/or password is invalid.");
    EXPECT_EQ(link.hung_up.load(), 0);  // it ended by itself: nothing to signal
    // The pause after a failure: a request waits for it, it is not lost.
    request_dial();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(link.dials.load(), 1);
    EXPECT_TRUE(eventually([&] { return link.dials.load() == 2; }, 6000));
}

TEST_F(Manager, LineKeptUpElsewhereIsNeverHungUp) {
    link.foreign.store(true);
    ASSERT_TRUE(eventually([] { return connected(); }, 6000));
    EXPECT_STREQ(link_address_text(), "10.9.9.9");
    request_hangup();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(eventually([] { return connected(); }, 6000));  // found again
    stop_dial_manager();
    EXPECT_EQ(link.hung_up.load(), 0);
    EXPECT_EQ(link.dials.load(), 0);
    EXPECT_EQ(link.commands.load(), 0);
}

TEST_F(Manager, StopEndsADialAndItsWaitsAtOnce) {
    request_dial();
    ASSERT_TRUE(eventually([&] { return link.dials.load() == 1; }));
    const auto begun = std::chrono::steady_clock::now();
    std::thread waiter([] {  // would wait at least 7 s
        EXPECT_EQ(dial_and_wait(), 1);  // no dial failed: the connect keeps its own error
        EXPECT_FALSE(connected());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop_dial_manager();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
    EXPECT_EQ(link.hung_up.load(), 4242);
    EXPECT_FALSE(running());
}

}  // namespace
}  // namespace kv::dial

namespace kv::dial {
namespace {

TEST(ServiceStart, RunsOnlyAfterItsDelayAndAStopEndsTheDelay) {
    ::setenv("KORVANET_PPPD", "/bin/sh", 1);
    FakeLink link;
    use_ppp_link(&link);
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(start_dial_manager(true), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));  // the start goes on
    EXPECT_FALSE(running());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(running());
    stop_dial_manager();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
    EXPECT_FALSE(running());
    use_ppp_link(nullptr);
    ::unsetenv("KORVANET_PPPD");
}

}  // namespace
}  // namespace kv::dial
