// The current user page and the password change behind its form.
#include <cstring>
#include <shared_mutex>
#include <string>
#include <vector>

#include "admin/admin_pages.h"
#include "admin/form_fields.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

constexpr std::size_t kPasswordFieldMax = 100;
// Names are at most 128 characters; "&quot;" is the longest escape.
constexpr std::size_t kShownNameSize = 6 * 129;

constexpr const char* kPasswordForm =
    "<form action=\"/admin/password\"> <table border=0><tr><td align=right> Old Password : <td> <input "
    "type=\"password\" name=\"old_password\" size=24><br>\n<tr><td align=right> New Password : <td> <input "
    "type=\"password\" name=\"new_password\" size=24><br>\n<tr><td align=right> Retype Password : <td> <input "
    "type=\"password\" name=\"retype_password\" size=24><br>\n</table><p><center><input type=\"submit\" "
    "name=\"button\" value=\"Change Password\">";

// One form value as the browser sent it: a password may hold '&', '+', '%'
// or '=' and must arrive exactly as typed. At most max characters, trimmed;
// empty when absent.
void form_value(const char* path, const char* name, char* out, std::size_t size, std::size_t max) {
    form_item(path, name, kApplyFields, max, out, size);
}

// The password form, for the user shown (escaped).
void add_password_form(net::PageWriter& out, const char* shown_user) {
    out.add("<center><font size=+1> Password Change</font></center>");
    out.add(kPasswordForm);
    out.addf("<input type=\"hidden\" name=\"username\" value=\"%s\"></center></form><hr>", shown_user);
}

// "name, " for each group the user belongs to. The group names are copied
// under the lists' lock and tested after it: the membership test takes the
// same (not recursive) lock itself.
void add_group_membership(net::PageWriter& out, const char* user) {
    out.add("<center><font size=+1> Groups Membership</font></center>");
    const config::ConfigLists& lists = config::live().lists;
    std::vector<std::string> groups;
    {
        std::shared_lock<std::shared_mutex> guard(lists.lock);
        for (const config::GroupRecord& g : lists.groups) groups.emplace_back(g.name);
    }
    for (const std::string& g : groups) {
        if (!config::is_group_member(lists, user, g.c_str())) continue;
        char shown[kShownNameSize];
        net::html_escape_attribute(g.c_str(), shown, sizeof shown);
        out.addf("%s, ", shown);
    }
}

// The four fields of the password form, decoded.
struct PasswordForm {
    char new_password[kPasswordFieldMax + 1];
    char retype_password[kPasswordFieldMax + 1];
    char username[kPasswordFieldMax + 1];
    char old_password[kPasswordFieldMax + 1];
};

void read_password_form(const char* path, PasswordForm& f) {
    // Room for the raw (still encoded) text of a value before decoding.
    char raw[3 * kPasswordFieldMax + 1];
    form_value(path, "new_password", raw, sizeof raw, kPasswordFieldMax);
    platform::copy_bounded(f.new_password, raw);
    form_value(path, "retype_password", raw, sizeof raw, kPasswordFieldMax);
    platform::copy_bounded(f.retype_password, raw);
    form_value(path, "username", raw, sizeof raw, kPasswordFieldMax);
    platform::copy_bounded(f.username, raw);
    form_value(path, "old_password", raw, sizeof raw, kPasswordFieldMax);
    platform::copy_bounded(f.old_password, raw);
}

}  // namespace

int user_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    if (r.user[0] == '\0') {
        out.add("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Korvanet\"\r\n"
                "Content-Type: text/html\r\n\r\n");
        return 1;
    }
    platform::copy_bounded(state().last_admin_page, "user");
    char user[kShownNameSize];
    net::html_escape_attribute(r.user, user, sizeof user);
    out.add(kPageHead);
    send_body_line(out);
    out.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Current User :</FONT></b>\n");
    out.addf("<font size=+1 color=\"#FF0000\">%s</font></font></center><hr>", user);
    add_password_form(out, user);
    add_group_membership(out, r.user);
    return 1;
}

int password_change(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add(kPageHead);
    send_body_line(out);
    PasswordForm f{};
    read_password_form(r.path, f);

    config::Settings& admin = config::admin_copy();
    if (!config::check_password(admin.lists, f.username, f.old_password)) {
        out.add("Old password is incorrect.<p>Please enter it <a href=\"/admin/user\">again</a>");
        return 1;
    }
    if (std::strcmp(f.new_password, f.retype_password) != 0) {
        out.add("New password and confirm password do not match.<p>Please enter them <a "
                "href=\"/admin/user\">again</a>");
        return 1;
    }
    (void)config::set_password(admin.lists, f.username, f.new_password);
    (void)config::set_password(config::live().lists, f.username, f.new_password);
    // A failed write has logged its own entry; both lists already hold the change.
    (void)config::save_settings(admin);
    out.add("Your password has been successfuly changed.<p>Please <a href=\"/admin/user\">re-authenticate</a> "
            "youself against Korvanet.");
    return 1;
}

}  // namespace kv::admin
