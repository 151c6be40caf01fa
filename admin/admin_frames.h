#pragma once
// The admin server's own answers: the frame set, the menu, the welcome page,
// the images, the proxy auto-configuration file, the settings stream and the
// diagnostics. Each returns 1 (the caller closes the connection).
#include "admin/admin_request.h"

namespace kv::admin {

int main_frameset(AdminRequest& r);     // /admin
int menu_frame(AdminRequest& r);        // /admin/index
int welcome_page(AdminRequest& r);      // /admin/main
int image_answer(AdminRequest& r);      // /admin/images/<name>; 404 page when unknown
int autoconfig_file(AdminRequest& r);   // /autoconfig; nothing sent when the file is missing
int reauth_answer(AdminRequest& r);     // /admin/reauth
int settings_stream(AdminRequest& r);   // /java/in
int udp_diagnostic(AdminRequest& r);    // /admin/udp
int test2_answer(AdminRequest& r);      // /admin/test2
int lists_dump(AdminRequest& r);        // /admin/dump

}  // namespace kv::admin
