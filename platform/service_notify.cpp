#include "platform/service_notify.h"


#include <cstring>
#include <mutex>

#include "platform/socket.h"

namespace kv::platform {
namespace {

std::mutex g_notify_lock;
NotifyTarget g_target;
Socket g_socket;

}  // namespace

NotifyTarget notify_target(const char* value) {
    NotifyTarget t;
    if (!value) return t;
    const std::size_t n = std::strlen(value);
    const std::size_t room = sizeof t.address.sun_path;
    t.address.sun_family = AF_UNIX;
    if (value[0] == '/' && n < room) {
        std::memcpy(t.address.sun_path, value, n + 1);
        t.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
    } else if (value[0] == '@' && n >= 2 && n <= room) {
        // The abstract name is the bytes after the leading NUL, exactly as long as given.
        t.address.sun_path[0] = '\0';
        std::memcpy(t.address.sun_path + 1, value + 1, n - 1);
        t.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    }
    return t;
}

bool notify_init(const char* value) {
    const NotifyTarget t = notify_target(value);
    std::lock_guard<std::mutex> guard(g_notify_lock);
    g_target = t;
    g_socket.reset();
    if (t.length == 0) return false;
    g_socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!g_socket.valid()) {
        g_target = NotifyTarget{};
        return false;
    }
    return true;
}

void notify(const char* text) {
    if (!text) return;
    std::lock_guard<std::mutex> guard(g_notify_lock);
    if (!g_socket.valid() || g_target.length == 0) return;
    // MSG_DONTWAIT: a manager that stopped reading must not hold up a stop.
    (void)::sendto(g_socket.get(), text, std::strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&g_target.address), g_target.length);
}

}  // namespace kv::platform
