#include "platform/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kv::platform {

File open_file(const char* path, int flags, mode_t mode) { return File(::open(path, flags, mode)); }

File open_file_at(int dir_fd, const char* name, int flags, mode_t mode) {
    return File(::openat(dir_fd, name, flags, mode));
}

int write_all(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return 0;
        if (w == 0) {
            errno = ENOSPC;
            return 0;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 1;
}

}  // namespace kv::platform
