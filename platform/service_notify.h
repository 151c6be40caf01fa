#pragma once
// State notifications to the service manager: one AF_UNIX datagram per
// change, written to the socket named by NOTIFY_SOCKET, a path ("/run/...")
// or an abstract name ("@name"). Nothing here ever fails the server: an
// unusable name or a peer that does not read just means no notification.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>

namespace kv::platform {

struct NotifyTarget {
    sockaddr_un address{};
    socklen_t length = 0;  // 0: no usable target
};

// Reads a NOTIFY_SOCKET value. An absolute path that fits sun_path with its
// NUL, or "@" and a name of 1 to 107 bytes (the abstract namespace, no NUL);
// anything else (null, empty, relative, "@" alone, too long) gives length 0.
// Nothing is cut.
NotifyTarget notify_target(const char* value);

// Takes the target for the process's later notifications and opens the
// sending socket. false when the value is unusable (notify() then does
// nothing).
bool notify_init(const char* value);
// One datagram holding `text` (fields joined by "\n"), without waiting: a
// full queue or a missing peer drops it. Safe from any thread.
void notify(const char* text);

}  // namespace kv::platform
