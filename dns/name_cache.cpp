#include "dns/name_cache.h"

#include <cstring>

#include "platform/bounded_text.h"

namespace kv::dns {
namespace {

// FNV-1a: cheap, and spreads host names that differ in one letter.
std::uint32_t name_digest(const char* name) {
    std::uint32_t h = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) h = (h ^ *p) * 16777619u;
    return h;
}

}  // namespace

NameCache::NameCache() { clear(); }

void NameCache::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    for (int i = 0; i < kCacheEntries; ++i) {
        entries_[i].name[0] = '\0';
        digests_[i] = 0;
        entries_[i].address.s_addr = 0;
        entries_[i].newer = (i + kCacheEntries - 1) % kCacheEntries;
        entries_[i].older = (i + 1) % kCacheEntries;
    }
    newest_ = 0;
}

void NameCache::make_newest(int i) {
    if (i == newest_) return;
    const int oldest = entries_[newest_].newer;  // the ring closes: newest's newer is the oldest
    if (i == oldest) {
        // Turning the ring one step makes the oldest the newest.
        newest_ = i;
        return;
    }
    Entry& e = entries_[i];
    entries_[e.newer].older = e.older;
    entries_[e.older].newer = e.newer;
    e.older = newest_;
    e.newer = oldest;
    entries_[newest_].newer = i;
    entries_[oldest].older = i;
    newest_ = i;
}

void NameCache::insert(const char* name, in_addr address) {
    if (!name || !*name || std::strlen(name) >= kCacheNameSize) return;
    const std::uint32_t digest = name_digest(name);
    std::lock_guard<std::mutex> hold(lock_);
    const int oldest = entries_[newest_].newer;
    (void)platform::copy_bounded(entries_[oldest].name, name);
    digests_[oldest] = digest;
    entries_[oldest].address = address;
    newest_ = oldest;
}

int NameCache::find(const char* name, in_addr* address) {
    if (!name || !*name || std::strlen(name) >= kCacheNameSize) return 0;
    const std::uint32_t digest = name_digest(name);
    std::lock_guard<std::mutex> hold(lock_);
    for (int i = 0; i < kCacheEntries; ++i) {
        if (digests_[i] != digest) continue;
        if (entries_[i].name[0] && std::strcmp(entries_[i].name, name) == 0) {
            *address = entries_[i].address;
            make_newest(i);
            return 1;
        }
    }
    return 0;
}

}  // namespace kv::dns
