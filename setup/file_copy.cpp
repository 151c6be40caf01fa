#include "setup/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_io.h"
#include "platform/socket.h"

namespace kv::setup {
namespace {

constexpr std::size_t kChunk = std::size_t{64} << 10;

// Moves every byte of in to out: copy_file_range in 64 KiB steps, or plain
// reads and writes of that size where the kernel can't copy between the two.
bool copy_bytes(int in, int out) {
    bool ranged = true;
    static char buf[kChunk];
    for (;;) {
        if (ranged) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
            if (n > 0) continue;
            if (n == 0) return true;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
            ranged = false;  // the failed call copied nothing: go on from here
        }
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!platform::write_all(out, buf, static_cast<std::size_t>(n))) return false;
    }
}

// Makes name in dir_fd from what fill writes into a fresh temporary file.
template <typename Fill>
int publish(int dir_fd, const char* name, unsigned mode, Fill fill) {
    char temp[300];
    if (std::snprintf(temp, sizeof temp, ".%s.new-%ld", name, static_cast<long>(getpid())) >= static_cast<int>(sizeof temp)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    (void)::unlinkat(dir_fd, temp, 0);  // a leftover of a run that died here
    platform::File out = platform::open_file_at(dir_fd, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (!out) return 0;
    const bool ok = fill(out.get()) && ::fchmod(out.get(), mode) == 0 && ::fsync(out.get()) == 0;
    out.reset();
    if (!ok || ::renameat(dir_fd, temp, dir_fd, name) != 0) {
        const int saved = errno;
        (void)::unlinkat(dir_fd, temp, 0);
        errno = saved;
        return 0;
    }
    return 1;
}

}  // namespace

int copy_file_atomic(const char* source, int dir_fd, const char* name, unsigned mode) {
    platform::File in = platform::open_file(source, O_RDONLY | O_CLOEXEC);
    if (!in) return 0;
    struct stat st;
    if (::fstat(in.get(), &st) != 0) return 0;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return 0;
    }
    return publish(dir_fd, name, mode, [&](int fd) { return copy_bytes(in.get(), fd); });
}

int write_file_atomic(int dir_fd, const char* name, const std::string& data, unsigned mode) {
    return publish(dir_fd, name, mode, [&](int fd) { return platform::write_all(fd, data.data(), data.size()) == 1; });
}

}  // namespace kv::setup
