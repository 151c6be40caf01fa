#pragma once
// Writing one installed file: into a temporary name beside the target, synced,
// then renamed over it, so a crash never leaves half a file and a running
// binary can be replaced (it keeps its old inode).
#include <string>

namespace kv::setup {

// Copies the regular file at source to name in the directory dir_fd with mode.
// 1 on success; 0 with errno (the target is then untouched).
[[nodiscard]] int copy_file_atomic(const char* source, int dir_fd, const char* name, unsigned mode);

// The same for a text made here.
[[nodiscard]] int write_file_atomic(int dir_fd, const char* name, const std::string& data, unsigned mode);

}  // namespace kv::setup
