#include "admin/admin_server.h"

namespace kv::admin {
int start_admin_server() { return 1; }
void stop_admin_server() {}
}  // namespace kv::admin
