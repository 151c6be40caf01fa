#include "dns/forward_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <set>

namespace kv::dns {
namespace {

sockaddr_in client(int n) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(40000 + n));
    a.sin_addr.s_addr = htonl(0xC0A80100u + static_cast<std::uint32_t>(n));
    return a;
}

TEST(ForwardTable, AnswersFindTheirClient) {
    ForwardTable table(1);
    in_addr local{};
    // Two clients with the same ID get different upstream IDs.
    const std::uint16_t a = table.insert(77, client(1), local);
    const std::uint16_t b = table.insert(77, client(2), local);
    EXPECT_NE(a, b);
    ForwardEntry e;
    ASSERT_EQ(table.take(b, &e), 1);
    EXPECT_EQ(e.client_id, 77);
    EXPECT_EQ(e.client.sin_port, client(2).sin_port);
    EXPECT_EQ(table.take(b, &e), 0);  // one answer per query
    ASSERT_EQ(table.take(a, &e), 1);
    EXPECT_EQ(e.client.sin_port, client(1).sin_port);
    EXPECT_EQ(table.used(), 0);
}

TEST(ForwardTable, TwentyFirstQueryPushesTheOldestOut) {
    ForwardTable table(2);
    in_addr local{};
    std::uint16_t ids[kForwardEntries + 1];
    for (int i = 0; i <= kForwardEntries; ++i) ids[i] = table.insert(static_cast<std::uint16_t>(i), client(i), local);
    EXPECT_EQ(table.used(), kForwardEntries);
    ForwardEntry e;
    EXPECT_EQ(table.take(ids[0], &e), 0);
    for (int i = 1; i <= kForwardEntries; ++i) {
        ASSERT_EQ(table.take(ids[i], &e), 1) << "query " << i;
        EXPECT_EQ(e.client_id, i);
    }
    // A freed entry is taken before the oldest is pushed out.
    for (int i = 0; i < kForwardEntries; ++i) ids[i] = table.insert(static_cast<std::uint16_t>(i), client(i), local);
    ASSERT_EQ(table.take(ids[5], &e), 1);
    const std::uint16_t late = table.insert(99, client(99), local);
    EXPECT_EQ(table.take(ids[0], &e), 1);  // still there: the free entry was used
    EXPECT_EQ(table.take(late, &e), 1);
}

TEST(ForwardTable, IdsBelowLimitAndUniqueWhileLive) {
    ForwardTable table(3);
    in_addr local{};
    for (int round = 0; round < 5000; ++round) {
        std::set<std::uint16_t> live;
        table.clear();
        for (int i = 0; i < kForwardEntries; ++i) {
            const std::uint16_t id = table.insert(1, client(i), local);
            EXPECT_LT(id, kIdLimit);
            EXPECT_TRUE(live.insert(id).second) << "round " << round << " id " << id;
        }
    }
}

}  // namespace
}  // namespace kv::dns
