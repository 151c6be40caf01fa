#pragma once
// Walks of the cache directory tree: host directories ("*.dns") and their
// object files ("*.cch").
#include <dirent.h>

#include <atomic>
#include <string>
#include <vector>

#include "cache/object_file.h"

namespace kv::cache {

// Closes a directory stream when the walk leaves.
struct DirHandle {
    DIR* d;
    explicit DirHandle(DIR* dir) : d(dir) {}
    ~DirHandle() {
        if (d) ::closedir(d);
    }
    DirHandle(DirHandle&& o) noexcept : d(o.d) { o.d = nullptr; }
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
};

// The directory name inside dir_fd as a stream (null when it cannot be
// opened; with no_follow a symbolic link is refused).
DirHandle open_directory_at(int dir_fd, const char* name, bool no_follow);

// Entries of dir whose names end in suffix (and are directories when
// directories is set, regular files otherwise), sorted by name. Names starting
// with '.' are left out. 0 when dir cannot be opened.
int list_entries(const char* dir, const char* suffix, bool directories, std::vector<std::string>& out);
// Totals of every "*.cch" file of every "*.dns" directory, counted by the kind
// its name's first character gives; a file a writer was still storing is
// removed instead (only for a start, before any writer runs). Stops early
// (returning what it has) when stopping becomes true.
Totals scan_totals(const char* dir, const std::atomic<bool>& stopping);

}  // namespace kv::cache
