#include "dns/name_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::dns {
namespace {

in_addr addr(std::uint32_t n) {
    in_addr a;
    a.s_addr = n;
    return a;
}

std::string name_of(int i) { return "host" + std::to_string(i) + ".example"; }

TEST(NameCache, HitsMissesAndCase) {
    NameCache cache;
    in_addr a{};
    EXPECT_EQ(cache.find("a.example", &a), 0);
    cache.insert("a.example", addr(1));
    ASSERT_EQ(cache.find("a.example", &a), 1);
    EXPECT_EQ(a.s_addr, 1u);
    EXPECT_EQ(cache.find("A.example", &a), 0);  // letter case matters
    cache.insert("A.example", addr(2));
    ASSERT_EQ(cache.find("A.example", &a), 1);
    EXPECT_EQ(a.s_addr, 2u);
    ASSERT_EQ(cache.find("a.example", &a), 1);
    EXPECT_EQ(a.s_addr, 1u);
    cache.clear();
    EXPECT_EQ(cache.find("a.example", &a), 0);
    EXPECT_EQ(cache.find("", &a), 0);
}

TEST(NameCache, NameLengthLimit) {
    NameCache cache;
    const std::string n63(63, 'x');
    const std::string n64(64, 'x');
    cache.insert(n63.c_str(), addr(63));
    cache.insert(n64.c_str(), addr(64));
    in_addr a{};
    EXPECT_EQ(cache.find(n63.c_str(), &a), 1);
    EXPECT_EQ(cache.find(n64.c_str(), &a), 0);
}

TEST(NameCache, LeastRecentlyUsedLeavesFirst) {
    NameCache cache;
    for (int i = 0; i < kCacheEntries; ++i) cache.insert(name_of(i).c_str(), addr(i + 1));
    in_addr a{};
    // Every name is still there; finding name 0 makes it the most recent, so
    // the next insert takes name 1's entry instead.
    ASSERT_EQ(cache.find(name_of(0).c_str(), &a), 1);
    EXPECT_EQ(a.s_addr, 1u);
    cache.insert("new.example", addr(999));
    EXPECT_EQ(cache.find(name_of(1).c_str(), &a), 0);
    EXPECT_EQ(cache.find(name_of(0).c_str(), &a), 1);
    EXPECT_EQ(cache.find("new.example", &a), 1);
    for (int i = 2; i < kCacheEntries; ++i) EXPECT_EQ(cache.find(name_of(i).c_str(), &a), 1) << "name " << i;
    // 200 further names push every earlier one out, and each is then found.
    for (int i = 0; i < kCacheEntries; ++i) cache.insert(name_of(1000 + i).c_str(), addr(1000 + i));
    EXPECT_EQ(cache.find(name_of(0).c_str(), &a), 0);
    EXPECT_EQ(cache.find("new.example", &a), 0);
    for (int i = 0; i < kCacheEntries; ++i) {
        ASSERT_EQ(cache.find(name_of(1000 + i).c_str(), &a), 1) << "name " << i;
        EXPECT_EQ(a.s_addr, static_cast<std::uint32_t>(1000 + i));
    }
}

TEST(NameCache, RingStaysWholeUnderMixedHits) {
    NameCache cache;
    // A hit on the oldest, the newest and one in between, between inserts: at
    // any time the last 200 names used are exactly the ones found.
    for (int round = 0; round < 3 * kCacheEntries; ++round) {
        cache.insert(name_of(round).c_str(), addr(round + 1));
        in_addr a{};
        // The newest, then one in the middle, then the oldest still stored.
        if (round >= kCacheEntries) {
            const int pick = round % 3 == 0 ? round : round % 3 == 1 ? round - 100 : round - kCacheEntries + 1;
            (void)cache.find(name_of(pick).c_str(), &a);
        }
    }
    int found = 0;
    for (int i = 0; i < 3 * kCacheEntries; ++i) {
        in_addr a{};
        found += cache.find(name_of(i).c_str(), &a);
    }
    EXPECT_EQ(found, kCacheEntries);
}

}  // namespace
}  // namespace kv::dns
