#pragma once
// One garbage run over the cache directory: list the object files last written
// before the run began, sort them by expiry through a memory-mapped work file,
// and delete the earliest-expiring ones until the run's totals fall below the
// limit.
#include <atomic>
#include <cstdint>

#include "cache/object_file.h"

namespace kv::cache {

// One work-file entry, packed: kind character, key, offset of the host
// directory name in gdns.bin, size, expiry.
inline constexpr std::size_t kGarbageEntrySize = 33;
inline constexpr std::size_t kEntryKindOffset = 0;
inline constexpr std::size_t kEntryKeyOffset = 1;
inline constexpr std::size_t kEntryDirOffset = 17;
inline constexpr std::size_t kEntrySizeOffset = 21;
inline constexpr std::size_t kEntryExpiryOffset = 25;

struct GarbageRun {
    const char* dir;                      // the cache directory
    double keep_below;                    // bytes: deleting stops once the run's total is below
    const std::atomic<bool>* stopping;    // ends the run early
    Totals run;                           // out: the run's own totals after its deletions
    std::int64_t candidates;              // out: files listed
    std::int64_t deleted;                 // out: files deleted
};

// Steps from the work files to the deletions. 1 when the run's totals are
// valid and must be merged into the statistics; 0 when the run ended before
// (work file failure, nothing to do, stopping during the scan). Failures are
// logged here ("cache will grow"). The work files are gone when it returns.
[[nodiscard]] int collect_garbage(GarbageRun& g);
// Removes every "*.dns" directory of dir that is empty.
void remove_empty_host_dirs(const char* dir, const std::atomic<bool>& stopping);

}  // namespace kv::cache
