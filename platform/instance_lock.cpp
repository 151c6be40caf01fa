#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kv::platform {

bool instance_lock_path(const char* registry, char* out, std::size_t size) {
    const int n = std::snprintf(out, size, "%s.lock", registry);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

LockHolder parse_lock_text(const char* data, std::size_t n) {
    LockHolder holder;
    std::size_t i = 0;
    long pid = 0;
    while (i < n && data[i] >= '0' && data[i] <= '9') {
        pid = pid * 10 + (data[i] - '0');
        if (pid > 0x40000000L) return LockHolder{};
        ++i;
    }
    if (i == 0) return holder;
    holder.pid = pid;
    holder.service = i + 1 < n && data[i] == ' ' && data[i + 1] == 's';
    return holder;
}

namespace {

LockHolder read_holder(int fd) {
    char text[64];
    const ssize_t n = pread(fd, text, sizeof text, 0);
    return n > 0 ? parse_lock_text(text, static_cast<std::size_t>(n)) : LockHolder{};
}

}  // namespace

LockState take_instance_lock(const char* lock_path, bool service, File& lock_file, LockHolder* holder) {
    lock_file.reset(::open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock_file.valid()) return LockState::kUnavailable;
    if (flock(lock_file.get(), LOCK_EX | LOCK_NB) != 0) {
        if (holder) *holder = read_holder(lock_file.get());
        lock_file.reset();
        return LockState::kHeld;
    }
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%d%s", static_cast<int>(getpid()), service ? " s" : "");
    if (ftruncate(lock_file.get(), 0) == 0) (void)!pwrite(lock_file.get(), line, static_cast<std::size_t>(n), 0);
    return LockState::kFree;
}

LockState probe_instance_lock(const char* lock_path, LockHolder* holder) {
    File probe(::open(lock_path, O_RDONLY | O_CLOEXEC));
    if (!probe.valid()) return LockState::kFree;  // no file: nobody ever held it
    if (flock(probe.get(), LOCK_SH | LOCK_NB) == 0) return LockState::kFree;  // released when probe closes
    if (holder) *holder = read_holder(probe.get());
    return LockState::kHeld;
}

}  // namespace kv::platform
