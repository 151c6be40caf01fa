#pragma once
// The process's limit of open descriptors. Each connection may hold two
// sockets, two splice pipes and a cache file, so the usual soft limit of 1024
// is within reach of a full task table; daemons raise it to the hard limit.

namespace kv::platform {

// Raises the soft RLIMIT_NOFILE to the hard limit, at most to cap (a limit
// already above cap is left as it is). Returns the soft limit in force after.
long raise_descriptor_limit(long cap);

}  // namespace kv::platform
