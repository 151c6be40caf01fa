#pragma once
// The pages of the admin main frame (status, kill, cache, logs, manual, dial,
// mail, current user, password). Each returns 1 when the admin server is to
// close the connection, 0 when the connection was handed to another part of
// the system (dialling progress, mail transfer), which closes it.
#include "admin/admin_request.h"

namespace kv::admin {

int status_page(AdminRequest& r);
int kill_connection(AdminRequest& r);
int cache_domains_page(AdminRequest& r);   // /admin/content (exact)
int cache_objects_page(AdminRequest& r);   // /admin/content + directory
int delete_domain(AdminRequest& r);        // /admin/delete/domain/
int delete_object(AdminRequest& r);        // /admin/delete/file/
int logs_frameset(AdminRequest& r);        // /admin/logs
int logs_tab_bar(AdminRequest& r);         // /admin/logs/index
int logs_empty_window(AdminRequest& r);    // /admin/logs/nic
int log_view(AdminRequest& r, const char* which);  // "access", "error", "mail", "dial", "security"
int clear_logs(AdminRequest& r, const char* route);  // "/admin/clearalllog", "/admin/clearlog" ...
int manual_page(AdminRequest& r);
int dial_page(AdminRequest& r);            // /admin/dial/dial (hands the connection over)
int mail_page(AdminRequest& r);            // /admin/mail
int user_page(AdminRequest& r);
int password_change(AdminRequest& r);

}  // namespace kv::admin
