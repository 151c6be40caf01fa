#pragma once
// Whole writes to files and other plain descriptors.
#include <cstddef>

namespace kv::platform {

// Writes all n bytes (retrying short writes and EINTR). 1 on success; 0 when
// a write failed (errno set; ENOSPC when the file took no more bytes).
[[nodiscard]] int write_all(int fd, const void* data, std::size_t n);

}  // namespace kv::platform
