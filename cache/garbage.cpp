#include "cache/garbage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cache/cache_tree.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "platform/bounded_text.h"
#include "platform/file_io.h"
#include "platform/socket.h"

namespace kv::cache {
namespace {

constexpr std::size_t kEntriesPerWrite = 1024;
constexpr std::size_t kDirNameRead = 256;

// Unmaps when the run leaves.
struct Mapping {
    void* p = MAP_FAILED;
    std::size_t n = 0;
    ~Mapping() {
        if (p != MAP_FAILED) ::munmap(p, n);
    }
};

// A work file only this run uses: created new, locked, and unlinked at once so
// it disappears when the run closes it, whatever way the run ends.
platform::File create_work_file(const char* dir, const char* name) {
    char path[kPathSize];
    if (platform::format_bounded(path, sizeof path, "%s/%s", dir, name)) return platform::File();
    platform::File file = platform::open_file(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (!file.valid() || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return platform::File();
    (void)::unlink(path);
    return file;
}

bool later(const timespec& a, const timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

int compare_expiry(const void* a, const void* b) {
    const std::int64_t x = get_le64(static_cast<const unsigned char*>(a) + kEntryExpiryOffset);
    const std::int64_t y = get_le64(static_cast<const unsigned char*>(b) + kEntryExpiryOffset);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Buffered appends of 33-byte entries to ghash.bin.
struct EntryWriter {
    explicit EntryWriter(int to) : fd(to) {}
    int fd;
    unsigned char buf[kEntriesPerWrite * kGarbageEntrySize];
    std::size_t used = 0;
    int add(const unsigned char* entry) {
        std::memcpy(buf + used, entry, kGarbageEntrySize);
        used += kGarbageEntrySize;
        return used < sizeof buf ? 1 : flush();
    }
    int flush() {
        const int ok = platform::write_all(fd, buf, used);
        used = 0;
        return ok;
    }
};

// Step 3: the candidates. 1 when at least one entry was written, 0 when the
// run ends (logged when it is a failure).
int scan(GarbageRun& g, int dns_fd, EntryWriter& entries, const timespec& start) {
    DirHandle top(::opendir(g.dir));
    if (!top.d) return 0;
    std::uint32_t dns_offset = 0;
    while (const dirent* h = ::readdir(top.d)) {
        if (g.stopping->load()) return 0;
        if (h->d_name[0] == '.' || !ends_with(h->d_name, ".dns")) continue;
        DirHandle host = open_directory_at(::dirfd(top.d), h->d_name, true);
        if (!host.d) continue;
        const int host_fd = ::dirfd(host.d);
        bool named = false;
        const std::size_t name_length = std::strlen(h->d_name) + 1;
        while (const dirent* f = ::readdir(host.d)) {
            if (g.stopping->load()) return 0;
            if (f->d_name[0] == '.' || !ends_with(f->d_name, ".cch")) continue;
            struct stat st {};
            if (::fstatat(host_fd, f->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
            if (later(st.st_mtim, start)) continue;  // written since the run began: it stays
            if (!named) {
                if (!platform::write_all(dns_fd, h->d_name, name_length)) {
                    log::error(log::kErrGarbageWrite2, 3, errno, "garbage : can't write to file, cache will grow");
                    return 0;
                }
                named = true;
            }
            const int kind = kind_of_name(f->d_name);
            // Every object counts in the run's totals; only well-formed names
            // can be rebuilt for deletion.
            totals_change(g.run, st.st_size, kind, 1);
            unsigned char entry[kGarbageEntrySize];
            char kind_char = 0;
            if (!parse_object_name(f->d_name, &kind_char, entry + kEntryKeyOffset)) continue;
            entry[kEntryKindOffset] = static_cast<unsigned char>(kind_char);
            put_le32(entry + kEntryDirOffset, dns_offset);
            put_le32(entry + kEntrySizeOffset, static_cast<std::uint32_t>(st.st_size));
            // An object without a readable header sorts first: it can never be served.
            std::int64_t expiry = INT64_MIN;
            const platform::File object = platform::open_file_at(host_fd, f->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (object.valid()) {
                unsigned char head[kHeaderFixedSize];
                ObjectHeader oh{};
                if (::pread(object.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
                    decode_header(head, sizeof head, &oh))
                    expiry = oh.expiry;
            }
            put_le64(entry + kEntryExpiryOffset, expiry);
            if (!entries.add(entry)) {
                log::error(log::kErrGarbageWrite, 3, errno, "garbage : can't write to file, cache will grow");
                return 0;
            }
            ++g.candidates;
        }
        if (named) dns_offset += static_cast<std::uint32_t>(name_length);
    }
    if (entries.used > 0 && !entries.flush()) {
        log::error(log::kErrGarbageWrite, 3, errno, "garbage : can't write to file, cache will grow");
        return 0;
    }
    return g.candidates > 0 ? 1 : 0;
}

}  // namespace

int collect_garbage(GarbageRun& g) {
    g.run = Totals{};
    g.candidates = 0;
    g.deleted = 0;
    const platform::File dns_file = create_work_file(g.dir, "gdns.bin");
    if (!dns_file.valid()) {
        log::error(log::kErrGarbageFile, 3, errno, "can't create file for garbage; cache will grow");
        return 0;
    }
    const platform::File hash_file = create_work_file(g.dir, "ghash.bin");
    if (!hash_file.valid()) {
        log::error(log::kErrGarbageFile2, 3, errno, "can't create file for garbage; cache will grow");
        return 0;
    }
    const int dns_fd = dns_file.get();
    const int hash_fd = hash_file.get();

    // The coarse clock is the one file times come from, so a file written
    // after this moment never carries an earlier time.
    timespec start{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &start);
    auto* entries = new EntryWriter(hash_fd);
    const int listed = scan(g, dns_fd, *entries, start);
    delete entries;
    if (!listed) return 0;

    Mapping map;
    map.n = static_cast<std::size_t>(g.candidates) * kGarbageEntrySize;
    map.p = ::mmap(nullptr, map.n, PROT_READ | PROT_WRITE, MAP_SHARED, hash_fd, 0);
    if (map.p == MAP_FAILED) {
        log::error(log::kErrGarbageView, 3, errno, "can't map view of file; cache will grow");
        return 0;
    }
    std::qsort(map.p, static_cast<std::size_t>(g.candidates), kGarbageEntrySize, compare_expiry);

    const auto* table = static_cast<const unsigned char*>(map.p);
    char dir_name[kDirNameRead + 1] = "";
    std::int64_t last_offset = -1;
    for (std::int64_t i = 0; i < g.candidates; ++i) {
        if (g.stopping->load()) break;
        const unsigned char* e = table + i * static_cast<std::int64_t>(kGarbageEntrySize);
        const std::uint32_t offset = get_le32(e + kEntryDirOffset);
        if (offset != last_offset) {
            const ssize_t n = ::pread(dns_fd, dir_name, kDirNameRead, offset);
            if (n <= 0 || !std::memchr(dir_name, '\0', static_cast<std::size_t>(n))) {
                log::error(log::kErrGarbageRead, 3, errno, "garbage : can't read from file, cache will grow");
                break;
            }
            last_offset = offset;
        }
        char name[kObjectNameLength + 1];
        object_name(0, e + kEntryKeyOffset, name);
        name[0] = static_cast<char>(e[kEntryKindOffset]);
        char path[kPathSize];
        if (!platform::format_bounded(path, sizeof path, "%s/%s/%s", g.dir, dir_name, name)) {
            // Rewritten since the run began: the new object stays.
            struct stat st {};
            if (::lstat(path, &st) == 0 && !later(st.st_mtim, start) && ::unlink(path) == 0) {
                ++g.deleted;
                totals_change(g.run, get_le32(e + kEntrySizeOffset), kind_of_name(name), -1);
            }
        }
        if (g.run.v[kTotalBytes] < g.keep_below) break;
    }
    return 1;
}

void remove_empty_host_dirs(const char* dir, const std::atomic<bool>& stopping) {
    std::vector<std::string> hosts;
    (void)list_entries(dir, ".dns", true, hosts);
    for (const std::string& h : hosts) {
        if (stopping.load()) return;
        char path[kPathSize];
        if (!platform::format_bounded(path, sizeof path, "%s/%s", dir, h.c_str())) (void)::rmdir(path);
    }
}

}  // namespace kv::cache
