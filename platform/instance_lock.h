#pragma once
// One server per registry file: an exclusive flock on REGISTRY.lock, held for
// the life of the process on a close-on-exec descriptor. The file holds the
// holder's pid in decimal, then " s" when it runs as a service ("1234",
// "1234 s"). The installer and the uninstaller only look at it.
#include <cstddef>

#include "platform/socket.h"

namespace kv::platform {

// "<registry>.lock"; false when it does not fit.
bool instance_lock_path(const char* registry, char* out, std::size_t size);

struct LockHolder {
    long pid = 0;          // 0 when the file holds no number
    bool service = false;  // the file's " s"
};

// What the lock file says: a decimal pid (1 to 2^30) and an optional " s".
LockHolder parse_lock_text(const char* data, std::size_t n);

enum class LockState { kFree, kHeld, kUnavailable };

// Takes the lock and writes this process's line. kHeld fills *holder from the
// file; kUnavailable means the file cannot be opened (a read-only place).
LockState take_instance_lock(const char* lock_path, bool service, File& lock_file, LockHolder* holder);

// Whether another process holds the lock, without keeping it.
LockState probe_instance_lock(const char* lock_path, LockHolder* holder);

}  // namespace kv::platform
