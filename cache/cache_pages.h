#pragma once
// The cache's fragments of the administration pages, written straight from the
// cache directory. The caller (disk_cache) decides whether the cache is started.
#include <cstdint>

#include "cache/object_file.h"

namespace kv::cache {

// What the statistics table shows.
struct StatisticsView {
    Totals totals;
    int cache_size;  // CacheSize, MB
    std::uint32_t hit, miss, garbage_count, last_garbage_min;
};

// One row per "*.dns" directory of cache_dir, by name: a delete link and a
// content link. Writes to any descriptor (socket or file).
void write_domain_list(int fd, const char* cache_dir);
// The heading, then one row per object file of cache_dir/directory, by name:
// expiry date, size, hits, a delete link ("directory\file") and the stored URL.
// A directory name that is not allowed gives the heading alone.
void write_content_list(int fd, const char* cache_dir, const char* directory);
void write_statistics_table(int fd, const StatisticsView& view);
// "Cache is not started."
void write_not_started(int fd);

}  // namespace kv::cache
