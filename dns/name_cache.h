#pragma once
// The name cache: the last 200 answers, most recently used first. One lock
// guards it; every lookup on every connection thread goes through it.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kv::dns {

inline constexpr int kCacheEntries = 200;
inline constexpr std::size_t kCacheNameSize = 64;  // 63 characters + NUL

class NameCache {
public:
    NameCache();
    NameCache(const NameCache&) = delete;
    NameCache& operator=(const NameCache&) = delete;

    // Stores name -> address over the least recently used entry and makes it
    // the most recent. Names of 64 characters or more are not stored.
    void insert(const char* name, in_addr address);
    // 1 with the address when name is stored (compared exactly, letter case
    // included); the entry becomes the most recent. 0 otherwise.
    [[nodiscard]] int find(const char* name, in_addr* address);
    // Empties every entry.
    void clear();

private:
    struct Entry {
        char name[kCacheNameSize];  // "" when free
        in_addr address;
        int newer;
        int older;
    };
    // Moves entry i to the most recent end. The caller holds the lock.
    void make_newest(int i);

    std::mutex lock_;
    // Each entry's name digest, side by side: a find scans these and compares
    // names only where they match, so a full scan stays well under 1 us.
    std::uint32_t digests_[kCacheEntries];
    Entry entries_[kCacheEntries];
    int newest_ = 0;
};

}  // namespace kv::dns
