// The configuration routes: the frame set, its menu, the help page, every
// form page under /admin/config/content/, the apply step and the restart.
// Page routes match the whole path (query included) except the two pages that
// read their own parameters, which match by prefix.
#include <cstring>

#include "admin/admin_router.h"
#include "admin/config_pages.h"

namespace kv::admin {
namespace {

constexpr const char* kContentPrefix = "/admin/config/content/";

using PageFn = int (*)(AdminRequest&);

struct ConfigRoute {
    const char* page;  // after kContentPrefix
    bool prefix;
    PageFn run;
};

const ConfigRoute kContentRoutes[] = {
    {"help", false, config_help},
    {"proxy", false, page_proxy},
    {"cache", false, page_cache},
    {"cttl", false, page_cttl},
    {"access", false, page_access},
    {"edit", true, page_edit},
    {"network", false, page_network},
    {"maplink", false, page_maplink},
    {"security", false, page_security},
    {"advanced", false, page_advanced},
    {"users", false, page_users},
    {"groups", false, page_groups},
    {"membership", false, page_membership},
    {"showmembership", true, page_showmembership},
    {"dial", false, page_dial},
    {"dd", false, page_dd},
    {"dialadvanced", false, page_dialadvanced},
    {"mail", false, page_mail},
    {"mail/gateway", false, page_mail_gateway},
    {"mail/tunnel", false, page_mail_tunnel},
    {"mail/server", false, page_mail_server},
    {"mail/pop3", false, page_mail_pop3},
    {"mail/pop3edit", false, page_mail_pop3edit},
    {"mail/rules", false, page_mail_rules},
    {"mail/aspam", false, page_mail_aspam},
    {"mail/advanced", false, page_mail_advanced},
};

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

int config_route(AdminRequest& r) {
    const char* path = r.path;
    if (!path) return -1;
    if (std::strcmp(path, "/admin/config") == 0) return config_frameset(r);
    if (std::strcmp(path, "/admin/config/index") == 0) return config_menu(r);
    if (starts_with(path, kContentPrefix)) {
        const char* page = path + std::strlen(kContentPrefix);
        for (const ConfigRoute& route : kContentRoutes) {
            const bool hit = route.prefix ? starts_with(page, route.page) : std::strcmp(page, route.page) == 0;
            if (hit) return route.run(r);
        }
    }
    // The Edit button of the access page submits the page's form to the apply
    // step; the editor answers it instead.
    if (std::strstr(path, "Edit_access=")) return page_edit(r);
    if (starts_with(path, "/admin/config/apply")) return config_apply(r);
    if (starts_with(path, "/admin/config/restart")) return config_restart(r);
    return -1;
}

}  // namespace kv::admin
