// /admin/config/restart: sends the browser to the configuration menu and
// restarts the program once the menu has been fetched (the menu page clears
// the restart-pending flag), so the browser sees the menu before the server
// goes down.
#include "admin/admin_server.h"
#include "admin/config_pages.h"
#include "net/line_io.h"
#include "net/page_writer.h"

namespace kv::admin {

int config_restart(AdminRequest& r) {
    {
        net::PageWriter w(r.conn.client.get());
        w.add("HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/index\r\n\r\n");
    }
    state().restart_pending = 1;
    if (!request_restart(&state().restart_pending)) state().restart_pending = 0;
    return 1;
}

}  // namespace kv::admin
