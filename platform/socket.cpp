#include "platform/socket.h"

#include <sys/socket.h>
#include <unistd.h>

namespace kv::platform {

Socket& Socket::operator=(Socket&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

Socket::~Socket() { reset(); }

void Socket::reset(int fd) {
    int old = fd_.exchange(fd);
    if (old >= 0) ::close(old);
}

void Socket::shutdown_both() const {
    int fd = get();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace kv::platform
