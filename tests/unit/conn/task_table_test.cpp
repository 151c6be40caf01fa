#include "conn/task_table.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/bounded_text.h"
#include "tests/unit/test_support.h"

namespace kv::conn {
namespace {

bool never_stopping() { return false; }

TEST(TaskTable, DialLineInUseIgnoresMailTransferAndFreeSlots) {
    clear_task_table();
    auto& a = slot(3);
    platform::copy_bounded(a.service_name, "MAIL TRANSFER");
    a.dial_use = 1;
    a.in_use = 1;
    EXPECT_EQ(dial_line_in_use(), 0);
    auto& b = slot(5);
    platform::copy_bounded(b.service_name, "PROXY");
    b.dial_use = 1;
    EXPECT_EQ(dial_line_in_use(), 0);  // not in use
    b.in_use = 1;
    EXPECT_EQ(dial_line_in_use(), 1);
    EXPECT_EQ(active_connections(), 2);
    EXPECT_EQ(free_slot_index(never_stopping), 0);
    release_slot(3);
    release_slot(5);
    EXPECT_FALSE(any_active_connection());
}

TEST(TaskTable, KillBySerialWakesTheOwner) {
    clear_task_table();
    auto rec = std::make_unique<ConnectionRecord>();
    platform::Socket peer;
    kv::test::unix_pair(rec->client, peer);
    auto& s = slot(7);
    s.serial = 42;
    s.record = rec.get();
    s.in_use = 1;
    EXPECT_EQ(kill_by_serial(41), 0);
    EXPECT_EQ(kill_by_serial(42), 1);
    char c;
    EXPECT_EQ(recv(rec->client.get(), &c, 1, 0), 0);  // shut down: the owner's read ends
    EXPECT_TRUE(rec->client.valid());                // but only the owner closes it
    release_slot(7);
}

TEST(TaskTable, FullTableWaitsUntilASlotFrees) {
    clear_task_table();
    for (int i = 0; i < kTaskSlots; ++i) slot(i).in_use = 1;
    std::thread freer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        release_slot(77);
    });
    EXPECT_EQ(free_slot_index(never_stopping), 77);
    freer.join();
    clear_task_table();
}

}  // namespace
}  // namespace kv::conn
