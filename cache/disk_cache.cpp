#include "cache/disk_cache.h"

namespace kv::cache {

// The cache is not built yet: it behaves as a cache that failed to start.
int start_cache(const char*) { return 0; }
void stop_cache() {}
bool ready() { return false; }
int open_for_read(host::ConnectionRecord&) { return 0; }
long read_block(host::ConnectionRecord&, char*, std::size_t) { return -1; }
int open_for_write(host::ConnectionRecord& r) {
    r.proxy.cacheable = 0;
    return 0;
}
int append(host::ConnectionRecord&, const char*, std::size_t) { return 0; }
void finish(host::ConnectionRecord&) {}
void delete_by_key(const unsigned char*) {}
bool has_followers(const host::ConnectionRecord&) { return false; }

}  // namespace kv::cache
