#pragma once
// The configuration pages and their apply step (/admin/config...). Until they
// are built each answers with the 404 page.
#include "admin/admin_request.h"

namespace kv::admin {

// Serves a /admin/config... path when it is one of the configuration routes.
// Returns -1 when the path is not a configuration route, else 1 (close) or 0.
int config_route(AdminRequest& r);

}  // namespace kv::admin
