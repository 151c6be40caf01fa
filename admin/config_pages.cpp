// The configuration routes. The configuration pages are not built yet: each
// of their routes answers with the Not Found page, and leaving the
// configuration menu clears the restart-pending flag as it will then.
#include "admin/config_pages.h"

#include <cstring>

#include "admin/admin_router.h"

namespace kv::admin {
namespace {

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

int config_route(AdminRequest& r) {
    const char* path = r.path;
    if (std::strcmp(path, "/admin/config/index") == 0) {
        state().restart_pending = 0;
        return send_not_found(r);
    }
    if (std::strcmp(path, "/admin/config") == 0 || starts_with(path, "/admin/config/content/") ||
        starts_with(path, "/admin/config/apply") || starts_with(path, "/admin/config/restart"))
        return send_not_found(r);
    return -1;
}

}  // namespace kv::admin
