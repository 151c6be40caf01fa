#pragma once
// Owned descriptors. Every socket and file descriptor has one owner that closes it;
// other threads may only shutdown() a socket to wake the owner.
#include <atomic>
#include <utility>

namespace kv::platform {

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& o) noexcept : fd_(o.fd_.exchange(-1)) {}
    Socket& operator=(Socket&& o) noexcept;  // closes what it held
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    int get() const { return fd_.load(std::memory_order_relaxed); }
    bool valid() const { return get() >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return fd_.exchange(-1); }
    void reset(int fd = -1);                  // closes the old descriptor
    // Any thread: makes a blocked send/recv of the owner return at once.
    void shutdown_both() const;

private:
    std::atomic<int> fd_;
};

// Same shape for plain files.
using File = Socket;

// Closes a raw descriptor; the only close() outside the owners above.
void close_fd(int fd);

}  // namespace kv::platform
