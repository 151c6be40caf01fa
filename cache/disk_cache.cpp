#include "cache/disk_cache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "cache/cache_pages.h"
#include "cache/cache_tree.h"
#include "cache/garbage.h"
#include "cache/object_file.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "conn/task_table.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/dates.h"
#include "net/url_ports.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/kill_point.h"
#include "platform/socket_error.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace kv::cache {
namespace {

constexpr std::size_t kCacheThreadStack = 128 * 1024;
constexpr int kChangesBetweenSaves = 10;      // status.bin is written on every twelfth change
constexpr unsigned kOverLimitWaitMs = 1000;   // lets a garbage run get ahead of a new object
constexpr unsigned kFollowWaitMs = 3000;
constexpr int kFollowWaits = 30;              // 90 s of silence ends a follower's read
constexpr std::int64_t kSecondsPerDay = 86400;
constexpr double kKeepShare = 891289.6;       // 85 % of a megabyte: where a garbage run stops
constexpr int kKeyLocks = 64;
constexpr char kProxyService[] = "PROXY";

char g_dir[kCacheDirMax + 1];
std::size_t g_dir_length = 0;
// The cache directory, open for the life of the process so hits resolve only
// "<host>.dns/<object>" below it. Never closed: a connection thread may still
// use it after a stop, and a descriptor number must never change meaning
// under it.
platform::File g_dir_file;  // the cache directory, for opens relative to it
std::atomic<bool> g_ready{false};
std::atomic<bool> g_stopping{false};
bool g_started = false;  // start and stop run on the server's thread only

// The statistics lock guards the totals, the change counter, status.bin and
// the cache's counters in config::statistics().
std::mutex g_stats_lock;
Totals g_totals{};
int g_changes = 0;
platform::File g_status;

// The garbage thread waits for a pulse; a pulse while it runs is lost.
platform::Thread g_garbage_thread;
platform::Thread g_rescan_thread;
std::mutex g_garbage_lock;
std::condition_variable& g_garbage_wake = *new std::condition_variable;
bool g_garbage_pulse = false;
bool g_garbage_idle = false;

// Followers of a writer wait here for the next append, the writer's finish or
// the stop. Connection threads may outlive the cache's stop: never destroyed.
std::mutex& g_follow_lock = *new std::mutex;
std::condition_variable& g_follow_wake = *new std::condition_variable;
std::atomic<std::uint64_t> g_appends{0};
std::atomic<int> g_waiting_followers{0};
std::atomic<int> g_active_writers{0};

// Making an object (replace, create, header, writer flag) and opening one to
// read (writer check, open, header, hit count) are atomic per key.
std::mutex g_key_locks[kKeyLocks];
std::mutex& key_lock(const unsigned char key[16]) { return g_key_locks[key[0] % kKeyLocks]; }

// A connection's cache flags are read by other connections under its slot's
// lock; the owner changes them under the same lock.
std::mutex& own_lock(const conn::ConnectionRecord& r) {
    const int i = r.slot >= 0 && r.slot < conn::kTaskSlots ? r.slot : 0;
    return conn::slot(i).lock;
}

void set_flag(conn::ConnectionRecord& r, int conn::ProxyFields::*flag, int value) {
    std::lock_guard<std::mutex> guard(own_lock(r));
    r.proxy.*flag = value;
}

int get_flag(const conn::ConnectionRecord& r, int conn::ProxyFields::*flag) {
    std::lock_guard<std::mutex> guard(own_lock(r));
    return r.proxy.*flag;
}

// Calls fn(record) for every other proxy connection with the same cache key,
// under that connection's slot lock; stops when fn returns true.
template <typename Fn>
bool any_other_with_key(const conn::ConnectionRecord& r, Fn fn) {
    for (int i = 0; i < conn::kTaskSlots; ++i) {
        conn::TaskSlot& s = conn::slot(i);
        if (!s.in_use.load(std::memory_order_acquire) || std::strcmp(s.service_name, kProxyService) != 0) continue;
        std::lock_guard<std::mutex> guard(s.lock);
        conn::ConnectionRecord* other = s.record;
        if (!other || other == &r || std::memcmp(other->proxy.cache_key, r.proxy.cache_key, 16) != 0) continue;
        if (fn(*other)) return true;
    }
    return false;
}

bool other_writer(const conn::ConnectionRecord& r) {
    if (g_active_writers.load() <= 0) return false;
    return any_other_with_key(r, [](conn::ConnectionRecord& o) { return o.proxy.writing_cache != 0; });
}

void wake_followers() {
    g_appends.fetch_add(1);
    if (g_waiting_followers.load() > 0) {
        std::lock_guard<std::mutex> guard(g_follow_lock);
        g_follow_wake.notify_all();
    }
}

// Waits up to ms for an append after `seen`, or the stop. False on time-out.
bool wait_for_append(std::uint64_t seen, unsigned ms) {
    std::unique_lock<std::mutex> lock(g_follow_lock);
    g_waiting_followers.fetch_add(1);
    const bool woke = g_follow_wake.wait_for(lock, std::chrono::milliseconds(ms), [seen] {
        return g_appends.load() != seen || g_stopping.load();
    });
    g_waiting_followers.fetch_sub(1);
    return woke;
}

void sleep_unless_stopping(unsigned ms) {
    std::unique_lock<std::mutex> lock(g_follow_lock);
    g_waiting_followers.fetch_add(1);
    (void)g_follow_wake.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_stopping.load(); });
    g_waiting_followers.fetch_sub(1);
}

// --- statistics -----------------------------------------------------------

void write_status_locked() {
    if (!g_status.valid()) return;
    unsigned char bytes[kStatusFileSize];
    totals_encode(g_totals, bytes);
    (void)!::pwrite(g_status.get(), bytes, sizeof bytes, 0);
}

void statistics_change(std::int64_t size, int kind, int sign) {
    std::lock_guard<std::mutex> guard(g_stats_lock);
    totals_change(g_totals, size, kind, sign);
    if (g_changes++ > kChangesBetweenSaves) {
        g_changes = 0;
        write_status_locked();
    }
}

std::int64_t total_bytes() {
    std::lock_guard<std::mutex> guard(g_stats_lock);
    return g_totals.v[kTotalBytes];
}

// The kind digit of an object path's file name.
int kind_of_path(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return kind_of_name(slash ? slash + 1 : path);
}

// Deletes one object file and takes it out of the totals; 1 when deleted. An
// object still being written was never counted, so it is not taken out.
int delete_file(const char* path) {
    struct stat st {};
    if (::lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    unsigned char format = kFormatComplete;
    if (const platform::File object = platform::open_file(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW); object.valid())
        if (::pread(object.get(), &format, 1, 0) != 1) format = kFormatComplete;
    if (::unlink(path) != 0) return 0;
    if (format != kFormatWriting) statistics_change(st.st_size, kind_of_path(path), -1);
    return 1;
}

// Removes the host directory of an object path when it is empty.
void remove_host_dir_of(const char* path) {
    char dir[kPathSize];
    platform::copy_bounded(dir, path);
    if (char* slash = std::strrchr(dir, '/')) {
        *slash = '\0';
        (void)::rmdir(dir);
    }
}

// --- threads --------------------------------------------------------------

void run_garbage() {
    const auto began = std::chrono::steady_clock::now();
    Totals snapshot;
    {
        std::lock_guard<std::mutex> guard(g_stats_lock);
        snapshot = g_totals;
    }
    GarbageRun g{g_dir, config::live().CacheSize * kKeepShare, &g_stopping, {}, 0, 0};
    if (collect_garbage(g)) {
        {
            std::lock_guard<std::mutex> guard(g_stats_lock);
            g_totals = totals_merge(g.run, g_totals, snapshot);
            write_status_locked();
        }
        remove_empty_host_dirs(g_dir, g_stopping);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    std::lock_guard<std::mutex> guard(g_stats_lock);
    config::Statistics& st = config::statistics();
    st.GarbageCount += 1;
    st.LastGarbageMin = static_cast<std::uint32_t>(ms.count() / 60000);
    st.HoursSinceLast = static_cast<std::uint32_t>(net::hours_since_epoch(platform::local_now()));
}

void* garbage_thread(void*) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(g_garbage_lock);
            g_garbage_idle = true;
            g_garbage_wake.wait(lock, [] { return g_garbage_pulse || g_stopping.load(); });
            g_garbage_pulse = false;
            g_garbage_idle = false;
        }
        if (g_stopping.load()) return nullptr;
        run_garbage();
    }
}

void pulse_garbage(bool always) {
    std::lock_guard<std::mutex> guard(g_garbage_lock);
    if (!g_garbage_idle && !always) return;
    g_garbage_pulse = true;
    g_garbage_wake.notify_one();
}

void rescan() {
    const Totals t = scan_totals(g_dir, g_stopping);
    if (g_stopping.load()) return;
    {
        std::lock_guard<std::mutex> guard(g_stats_lock);
        g_totals = t;
        write_status_locked();
    }
    g_ready.store(true);
}

void* rescan_thread(void*) {
    rescan();
    return nullptr;
}

// While a server runs, status.bin holds one byte more than its totals; the
// clean stop cuts it back. A file of another size was left by a server that
// was killed, or by something else: its totals are counted anew.
bool status_left_by_clean_stop(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_size == static_cast<off_t>(kStatusFileSize);
}

void mark_running(int fd) {
    if (::ftruncate(fd, kStatusFileSize + 1) == 0) (void)::fdatasync(fd);
}

// Reads status.bin from its start: the count of bytes read.
std::size_t read_status(int fd, unsigned char* out) {
    std::size_t got = 0;
    while (got < kStatusFileSize) {
        const ssize_t n = ::pread(fd, out + got, kStatusFileSize - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// The hit or miss counters of an object's kind, beside the totals: an ftp://
// or gopher:// address counts in its own row whether it was fetched directly
// or through the parent proxy. Under the statistics lock.
void count_hit_or_miss(int kind, bool hit) {
    config::Statistics& st = config::statistics();
    if (hit) {
        st.Hit += 1;
        if (kind == 0) st.HttpHit += 1;
        if (kind == 1) st.FtpHit += 1;
        if (kind == 2) st.GopherHit += 1;
    } else {
        st.Miss += 1;
        if (kind == 0) st.HttpMiss += 1;
        if (kind == 1) st.FtpMiss += 1;
        if (kind == 2) st.GopherMiss += 1;
    }
}

long long size_limit(int kind) {
    const auto& s = config::live();
    const long long kb = kind == 1 ? s.MaxFtpSize : (kind == 2 ? s.MaxGopherSize : s.MaxHttpSize);
    return kb * 1024;
}

}  // namespace

int start_cache(const char* dir) {
    g_ready.store(false);
    g_stopping.store(false);
    g_started = false;
    g_changes = 0;
    g_totals = Totals{};
    if (std::strlen(dir) > kCacheDirMax) {
        log::error(log::kErrCacheDirTooLong, 4, 0, "cache dir too long, can't start cache");
        return 0;
    }
    const bool same_dir = std::strcmp(g_dir, dir) == 0;
    platform::copy_bounded(g_dir, dir);
    g_dir_length = std::strlen(g_dir);
    (void)::mkdir(g_dir, 0755);
    if (!same_dir || !g_dir_file.valid()) g_dir_file = platform::open_file(g_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);

    char path[kPathSize];
    platform::format_bounded(path, "%s/status.bin", g_dir);
    platform::File status = platform::open_file(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    // Not shared: a second server on the same directory would corrupt it.
    if (!status.valid() || ::flock(status.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        log::error(log::kErrCacheOpenFile, 3, err, "can't open/create file :\"%s\"", path);
        return 0;
    }
    unsigned char bytes[kStatusFileSize] = {};
    const std::size_t got = read_status(status.get(), bytes);
    const bool stopped_cleanly = status_left_by_clean_stop(status.get());
    mark_running(status.get());
    {
        std::lock_guard<std::mutex> guard(g_stats_lock);
        g_status = std::move(status);
        g_totals = totals_decode(bytes);
    }

    {
        std::lock_guard<std::mutex> guard(g_garbage_lock);
        g_garbage_pulse = false;
        g_garbage_idle = false;
    }
    if (!g_garbage_thread.start(garbage_thread, nullptr, kCacheThreadStack)) {
        log::error(log::kErrCacheGarbageThread, 3, errno, "can't create garbage thread");
        std::lock_guard<std::mutex> guard(g_stats_lock);
        g_status.reset();
        return 0;
    }
    g_started = true;
    if (stopped_cleanly && totals_trusted(g_totals, got)) {
        g_ready.store(true);
    } else if (!g_rescan_thread.start(rescan_thread, nullptr, kCacheThreadStack)) {
        rescan();  // no thread to spare: count here, once
    }
    return 1;
}

void stop_cache() {
    if (!g_started) return;
    g_stopping.store(true);
    {
        std::lock_guard<std::mutex> guard(g_stats_lock);
        write_status_locked();
    }
    pulse_garbage(true);
    {
        std::lock_guard<std::mutex> guard(g_follow_lock);
        g_follow_wake.notify_all();
    }
    // Both threads test the stopping flag between files, so these joins are short.
    g_garbage_thread.join();
    g_rescan_thread.join();
    g_ready.store(false);
    {
        std::lock_guard<std::mutex> guard(g_stats_lock);
        write_status_locked();
        // Written through the page cache while running (a synchronous write
        // would stall every twelfth finishing object); on disk at the stop.
        if (g_status.valid() && ::ftruncate(g_status.get(), kStatusFileSize) == 0)
            (void)::fdatasync(g_status.get());
        g_status.reset();
    }
    g_started = false;
}

bool ready() { return g_ready.load(); }

int open_for_read(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    if (!ready() || p.cache_file.valid()) return 0;
    if (!object_path(g_dir, p.host, p.kind, p.cache_key, p.cache_path, sizeof p.cache_path)) return 0;
    // With no writer anywhere the key lock is not needed: a writer starting
    // meanwhile either leaves this reader the older file (whole, its own
    // inode) or shows it its new one still marked as being written (refused).
    std::unique_lock<std::mutex> guard(key_lock(p.cache_key), std::defer_lock);
    if (g_active_writers.load() > 0) guard.lock();
    const bool writer = guard.owns_lock() && other_writer(r);
    const int dir_fd = g_dir_file.get();
    platform::File file = dir_fd >= 0 ? platform::open_file_at(dir_fd, p.cache_path + g_dir_length + 1,
                                                               O_RDWR | O_CLOEXEC | O_NOFOLLOW)
                                      : platform::open_file(p.cache_path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (!file.valid()) return 0;
    const int fd = file.get();
    unsigned char head[kHeaderFixedSize];
    ObjectHeader h{};
    if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        !decode_header(head, sizeof head, &h))
        return 0;
    // An object being written is served whatever its expiry; one left
    // unfinished by a writer that vanished never is.
    if (!writer && (h.format != kFormatComplete || h.expiry < static_cast<std::int64_t>(std::time(nullptr))))
        return 0;
    put_le32(head + kHitCountOffset, h.hits + 1);
    (void)!::pwrite(fd, head + kHitCountOffset, 4, kHitCountOffset);
    p.cache_read_at = h.data_offset;
    if (writer) set_flag(r, &conn::ProxyFields::follows_writer, 1);
    p.cache_file = std::move(file);
    return 1;
}

long read_block(conn::ConnectionRecord& r, char* out, std::size_t size) {
    auto& p = r.proxy;
    if (!ready() || !p.cache_file.valid()) return -1;
    const int fd = p.cache_file.get();
    int waits = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFollowWaitMs * kFollowWaits);
    for (;;) {
        // The flag and the append count are taken before the read: a writer
        // that finishes or appends after it makes the next pass read again.
        const bool following = get_flag(r, &conn::ProxyFields::follows_writer) != 0;
        if (!following && p.cache_read_done) return 0;
        const std::uint64_t seen = g_appends.load();
        const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(p.cache_read_at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n > 0) {
            p.cache_read_at += n;
            // A finished object never grows (a new copy is a new file): a
            // short read was its last, which spares the read that finds the end.
            if (!following && static_cast<std::size_t>(n) < size) p.cache_read_done = 1;
            return static_cast<long>(n);
        }
        if (!following || g_stopping.load() || waits >= kFollowWaits ||
            std::chrono::steady_clock::now() >= deadline)
            return 0;
        if (!wait_for_append(seen, kFollowWaitMs)) {
            ++waits;
            // A writer that ended without finishing (its connection faulted)
            // never clears the flag: stop following once it is gone.
            std::lock_guard<std::mutex> guard(key_lock(p.cache_key));
            if (!other_writer(r)) set_flag(r, &conn::ProxyFields::follows_writer, 0);
        }
    }
}

long send_direct(conn::ConnectionRecord& r, int to) {
    // Large enough that a big object takes few calls, small enough that a
    // kill (which shuts the socket) ends the transfer soon.
    constexpr std::size_t kDirectChunk = 1 << 20;
    auto& p = r.proxy;
    if (!ready() || !p.cache_file.valid() || get_flag(r, &conn::ProxyFields::follows_writer)) return kUseReadBlock;
    if (p.cache_read_done) return 0;
    off_t at = static_cast<off_t>(p.cache_read_at);
    ssize_t n;
    do n = ::sendfile(to, p.cache_file.get(), &at, kDirectChunk);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EINVAL || errno == ENOSYS)) return kUseReadBlock;
    if (n < 0) {
        platform::capture_socket_error();
        return -1;
    }
    p.cache_read_at = at;
    return static_cast<long>(n);
}

int open_for_write(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    const auto refuse = [&p] {
        p.cacheable = 0;
        return 0;
    };
    if (!ready() || p.cache_file.valid()) return refuse();
    const auto& s = config::live();
    if (total_bytes() > static_cast<std::int64_t>(s.CacheSize) * 1048576) {
        pulse_garbage(false);
        sleep_unless_stopping(kOverLimitWaitMs);
    }

    char url[kUrlMax + 1];
    const unsigned port = p.dest_port;
    if (net::port_left_out(port))
        platform::format_bounded(url, "%s://%s%s", p.scheme, p.host, p.path);
    else
        platform::format_bounded(url, "%s://%s:%u%s", p.scheme, p.host, port, p.path);
    const int days = config::ttl_for_url(s.lists, url, static_cast<int>(p.kind), s.HttpTTL, s.FtpTTL, s.GopherTTL);
    if (days <= 0) return refuse();
    if (!object_path(g_dir, p.host, p.kind, p.cache_key, p.cache_path, sizeof p.cache_path)) return refuse();
    char host_dir[kPathSize];
    if (platform::format_bounded(host_dir, "%s/%s.dns", g_dir, p.host)) return refuse();
    (void)::mkdir(host_dir, 0755);

    std::lock_guard<std::mutex> guard(key_lock(p.cache_key));
    // One writer per object: a second fetch of it goes to the browser only.
    if (other_writer(r)) return refuse();
    // The older copy is replaced by a new file under the same name, so a
    // connection still reading it keeps its bytes.
    (void)delete_file(p.cache_path);
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    platform::File file = platform::open_file(p.cache_path, flags, 0644);
    if (!file.valid() && errno == ENOENT) {
        // A garbage run removed the empty host directory meanwhile.
        (void)::mkdir(host_dir, 0755);
        file = platform::open_file(p.cache_path, flags, 0644);
    }
    if (!file.valid()) {
        log::error(log::kErrCacheCreateFile, 3, errno, "can't create file \"%s\"", p.cache_path);
        return refuse();
    }
    const int fd = file.get();
    unsigned char head[kHeaderMax];
    const ObjectHeader h{kFormatWriting, 0, 1,
                         static_cast<std::int64_t>(std::time(nullptr)) + days * kSecondsPerDay, nullptr};
    const std::size_t n = encode_header(h, url, head, sizeof head);
    if (n == 0 || !platform::write_all(fd, head, n)) {
        file.reset();
        (void)::unlink(p.cache_path);
        return refuse();
    }
    set_flag(r, &conn::ProxyFields::writing_cache, 1);
    g_active_writers.fetch_add(1);
    p.cache_file = std::move(file);
    platform::kill_point("cache-object-open");
    return 1;
}

int append(conn::ConnectionRecord& r, const char* data, std::size_t n) {
    auto& p = r.proxy;
    if (!ready() || !p.cache_file.valid() || !p.writing_cache) return 0;
    if (!platform::write_all(p.cache_file.get(), data, n)) {
        p.discard = 1;  // incomplete: never kept as if it were whole
        return 0;
    }
    wake_followers();
    return 1;
}

void finish(conn::ConnectionRecord& r) {
    auto& p = r.proxy;
    if (!p.cache_file.valid()) return;
    if (!p.writing_cache) {
        set_flag(r, &conn::ProxyFields::follows_writer, 0);
        p.cache_file.reset();
        if (!ready()) return;
        std::lock_guard<std::mutex> guard(g_stats_lock);
        count_hit_or_miss(kind_of_path(p.cache_path), true);
        return;
    }

    const int fd = p.cache_file.get();
    const int kind = kind_of_path(p.cache_path);
    struct stat st {};
    const bool have_size = ::fstat(fd, &st) == 0;
    if (!have_size || st.st_size > size_limit(kind)) p.discard = 1;
    bool keep = ready() && !p.discard && (kind == 1 || p.bytes_sent != 0);
    if (keep) {
        platform::kill_point("cache-before-complete");
        const unsigned char complete = kFormatComplete;
        keep = ::pwrite(fd, &complete, 1, 0) == 1;
        platform::kill_point("cache-complete");
    }
    {
        std::lock_guard<std::mutex> guard(key_lock(p.cache_key));
        set_flag(r, &conn::ProxyFields::writing_cache, 0);
        g_active_writers.fetch_sub(1);
        (void)any_other_with_key(r, [](conn::ConnectionRecord& o) {
            if (!o.proxy.writing_cache) o.proxy.follows_writer = 0;
            return false;
        });
        if (!keep) {
            // Only this object's own file: the name may already hold a newer one.
            struct stat named {};
            if (::lstat(p.cache_path, &named) == 0 && named.st_ino == st.st_ino && named.st_dev == st.st_dev)
                (void)::unlink(p.cache_path);
        }
    }
    wake_followers();
    {
        std::lock_guard<std::mutex> guard(g_follow_lock);
        g_follow_wake.notify_all();
    }
    if (!keep) {
        remove_host_dir_of(p.cache_path);
    } else if (::fstat(fd, &st) == 0 && st.st_nlink > 0) {
        // A file deleted while it was written (garbage, refresh, administration)
        // is no longer part of the cache.
        statistics_change(st.st_size, kind, 1);
        std::lock_guard<std::mutex> guard(g_stats_lock);
        count_hit_or_miss(kind, false);
    }
    p.cache_file.reset();
}

int delete_by_key(const conn::ConnectionRecord& r) {
    const auto& p = r.proxy;
    if (!ready()) return 0;
    char path[kPathSize];
    if (!object_path(g_dir, p.host, p.kind, p.cache_key, path, sizeof path)) return 0;
    std::lock_guard<std::mutex> guard(key_lock(p.cache_key));
    if (!delete_file(path)) return 0;
    remove_host_dir_of(path);
    return 1;
}

bool has_followers(const conn::ConnectionRecord& r) {
    if (!ready()) return false;
    return any_other_with_key(
        r, [](conn::ConnectionRecord& o) { return !o.proxy.writing_cache && o.proxy.follows_writer; });
}

int delete_object_file(const char* relative) {
    if (!ready()) return 0;
    char mapped[kPathSize];
    if (!map_relative_name(relative, mapped, sizeof mapped)) return 0;
    char path[kPathSize];
    if (platform::format_bounded(path, "%s/%s", g_dir, mapped)) return 0;
    if (!delete_file(path)) return 0;
    remove_host_dir_of(path);
    return 1;
}

int delete_host(const char* directory) {
    if (!ready() || !directory_name_allowed(directory)) return 0;
    char path[kPathSize];
    if (platform::format_bounded(path, "%s/%s", g_dir, directory)) return 0;
    std::vector<std::string> files;
    if (!list_entries(path, ".cch", false, files)) return 0;
    for (const std::string& f : files) {
        char file_path[kPathSize];
        if (!platform::format_bounded(file_path, "%s/%s", path, f.c_str())) (void)delete_file(file_path);
    }
    return ::rmdir(path) == 0 ? 1 : 0;
}

void domain_list(int fd) {
    if (!ready()) {
        write_not_started(fd);
        return;
    }
    write_domain_list(fd, g_dir);
}

void content_list(int fd, const char* directory) {
    if (!ready()) {
        write_not_started(fd);
        return;
    }
    write_content_list(fd, g_dir, directory);
}

void statistics_table(int fd) {
    if (!ready()) return;
    StatisticsView v{};
    {
        std::lock_guard<std::mutex> guard(g_stats_lock);
        const config::Statistics& st = config::statistics();
        v = StatisticsView{g_totals, config::live().CacheSize, st.Hit, st.Miss, st.GarbageCount, st.LastGarbageMin};
    }
    write_statistics_table(fd, v);
}

}  // namespace kv::cache
