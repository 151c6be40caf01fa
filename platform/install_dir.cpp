#include "platform/install_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kv::platform {
namespace {
char g_install_dir[4096];
}

const char* install_dir() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* home = std::getenv("KORVANET_HOME");
        if (home && *home) {
            std::size_t n = std::strlen(home);
            if (n + 2 > sizeof g_install_dir) n = sizeof g_install_dir - 2;
            std::memcpy(g_install_dir, home, n);
            if (g_install_dir[n - 1] != '/') g_install_dir[n++] = '/';
            g_install_dir[n] = '\0';
            return;
        }
        ssize_t n = readlink("/proc/self/exe", g_install_dir, sizeof g_install_dir - 2);
        if (n <= 0) {
            std::memcpy(g_install_dir, "./", 3);
            return;
        }
        g_install_dir[n] = '\0';
        char* slash = std::strrchr(g_install_dir, '/');
        if (slash) slash[1] = '\0';
    });
    return g_install_dir;
}

const char* registry_path() {
    const char* env = std::getenv("KORVANET_REGISTRY");
    return (env && *env) ? env : "/etc/korvanet/registry.reg";
}

}  // namespace kv::platform
