#pragma once
// Opening files into their owners, and whole writes to files and other plain
// descriptors.
#include <sys/types.h>

#include <cstddef>

#include "platform/socket.h"

namespace kv::platform {

// open() / openat() straight into an owner; invalid (errno set) on failure.
File open_file(const char* path, int flags, mode_t mode = 0);
File open_file_at(int dir_fd, const char* name, int flags, mode_t mode = 0);

// Writes all n bytes (retrying short writes and EINTR). 1 on success; 0 when
// a write failed (errno set; ENOSPC when the file took no more bytes).
[[nodiscard]] int write_all(int fd, const void* data, std::size_t n);

}  // namespace kv::platform
