// The account pages of the configuration: users, groups, the membership
// chooser and its two views (the members of a group, the groups of a user).
// They show the administration's settings copy; their forms go to the apply
// step, which reads the same field names.
#include <cstring>

#include "admin/config_pages.h"
#include "admin/form_fields.h"
#include "config/settings.h"
#include "net/line_io.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

inline constexpr std::size_t kFormValueMax = 100;   // form values read from the path
inline constexpr std::size_t kEscapedNameSize = 800; // a list name, HTML-escaped

void put(int fd, const char* text) { (void)net::send_text(fd, text); }

// Sends before + escaped(text) + after; names come from the lists and may
// hold any character, so they are escaped before they reach the page.
void put_escaped(int fd, const char* before, const char* text, const char* after) {
    char escaped[kEscapedNameSize];
    net::html_escape_attribute(text, escaped, sizeof escaped);
    put(fd, before);
    put(fd, escaped);
    put(fd, after);
}

void send_redirect(int fd, const char* page) {
    put(fd, "HTTP/1.0 301 Moved Permanently\r\n");
    put(fd, "Location: /admin/config/content/");
    put(fd, page);
    put(fd, "\r\n\r\n");
}

// The Save and Cancel buttons of the pages that build their own frame.
void save_cancel(int fd) {
    put(fd, "<INPUT NAME=\"Save\" TYPE=\"SUBMIT\" VALUE=\"   Save  \">\n");
    put(fd, "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp");
    put(fd, "<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" VALUE=\" Cancel \">\n");
}

// Reads `name` from the path as a browser encodes it: the raw value up to the
// next '&', then '+' to blank, then %XX, then trimmed. Decoding the whole path
// first would let an encoded '&' inside a name end the value early. Empty when
// absent.
void read_form_field(const AdminRequest& r, const char* name, char (&out)[kFormValueMax + 1]) {
    out[0] = '\0';
    const char* at = find_field(r.path, name);
    if (!at) return;
    at += std::strlen(name);
    if (*at != '=') return;
    ++at;
    std::size_t n = 0;
    while (at[n] && at[n] != '&' && n < kFormValueMax) ++n;
    std::memcpy(out, at, n);
    out[n] = '\0';
    net::plus_to_blank(out);
    net::url_unescape(out);
    net::trim(out);
}

}  // namespace

int page_users(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = config::admin_copy().lists;
    page_head(r, kAccountsSections, 0, nullptr);
    put(fd, "<B>User List:</B><BR>");
    put(fd, "<SELECT NAME=\"ItemUser\" SIZE=10>");
    for (const config::UserRecord& u : l.users) put_escaped(fd, "<OPTION>", u.name, "\n");
    put(fd, "</SELECT>\n\n<P>\n\n");
    input_button(fd, "Remove_user", "Remove");
    put(fd, "\n");
    input_button(fd, "Change_passwd", "Change password");
    put(fd, "\n");
    input_button(fd, "MemberOf", "Member Of");
    put(fd, "\n");
    put(fd, "<P>");
    table_begin(fd);
    row_begin(fd, "Username: ");
    input_text(fd, "NewUser", "", 25);
    put(fd, "\n<BR>");
    row_begin(fd, "Password: ");
    input_password(fd, "NewPassword", "", 25);
    put(fd, "\n<BR>");
    row_begin(fd, "Confirm: ");
    input_password(fd, "NewConfirm", "", 25);
    put(fd, "\n<BR>");
    input_button(fd, "Add_user", "   Add   ");
    put(fd, "\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_groups(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = config::admin_copy().lists;
    page_head(r, kAccountsSections, 1, nullptr);
    put(fd, "<B>Group List:</B><BR>");
    put(fd, "<SELECT NAME=\"ItemGroup\" SIZE=10>");
    for (const config::GroupRecord& g : l.groups) put_escaped(fd, "<OPTION>", g.name, "\n");
    put(fd, "</SELECT>\n\n<P>\n\n");
    input_button(fd, "Remove_group", "Remove");
    put(fd, "\n");
    input_button(fd, "Members", "Members");
    put(fd, "\n");
    put(fd, "<P>");
    table_begin(fd);
    row_begin(fd, "New Group: ");
    input_text(fd, "NewGroup", "", 25);
    put(fd, "\n&nbsp");
    input_button(fd, "Add_group", "   Add   ");
    put(fd, "\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_membership(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = config::admin_copy().lists;
    platform::copy_bounded(state().last_config_page, "membership");
    put(fd, kPageHead);
    put(fd, "<BODY ");
    put(fd, state().body_attribute);
    put(fd, " link=\"#0044FF\" vlink=\"#0044FF\">\n");
    put(fd,
        "<FORM ACTION=\"/admin/config/content/showmembership\" METHOD=GET>\n<center><b><FONT "
        "SIZE=+1 COLOR=#0000BB>Membership</FONT></b></center><hr>\n<TABLE BORDER=0><TR><TD "
        "ALIGN=RIGHT>Groups : <TD ALIGN=CENTER><SELECT NAME=\"ItemMember\" SIZE=12>\n");
    for (const config::GroupRecord& g : l.groups) put_escaped(fd, "<OPTION>", g.name, "\n");
    put(fd, "</SELECT><TD WIDTH=90 ALIGN=RIGHT>Users:<TD> <SELECT NAME=\"ItemMemberOf\" SIZE=12>\n");
    for (const config::UserRecord& u : l.users) put_escaped(fd, "<OPTION>", u.name, "\n");
    put(fd,
        "</SELECT><TR><TD>&nbsp;<TR><TD>&nbsp;<TD ALIGN=CENTER><INPUT TYPE=\"SUBMIT\" "
        "NAME=\"Show_members\" VALUE=\"Members\"><TD>&nbsp;\n<TD ALIGN=CENTER><INPUT "
        "TYPE=\"SUBMIT\" NAME=\"Show_memberof\" VALUE=\"Member of\">\n");
    put(fd, "<tr><td>&nbsp;<td colspan=3 align=center><a href=\"/admin/config/content/help#");
    put(fd, state().last_config_page);
    put(fd, "\"> <b>Help</b> </a>");
    put(fd, "</TABLE></FORM></BODY>\n");
    return 1;
}

int page_showmembership(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = config::admin_copy().lists;
    static constexpr const char* kPrefix = "/admin/config/content/showmembership";
    const char* after = r.path + std::strlen(kPrefix);
    const bool group_view = std::strstr(r.path, "Show_members=Members") != nullptr ||
                            (std::strncmp(r.path, kPrefix, std::strlen(kPrefix)) == 0 && *after == 'g');
    RememberedItems& rem = remembered();
    char item[kFormValueMax + 1];
    read_form_field(r, group_view ? "ItemMember" : "ItemMemberOf", item);
    char* held = group_view ? rem.membership_group : rem.membership_user;
    const std::size_t held_size = group_view ? sizeof rem.membership_group : sizeof rem.membership_user;
    if (item[0]) platform::copy_bounded(held, item, held_size);
    if (!held[0]) {
        send_redirect(fd, "membership");
        return 1;
    }
    put(fd, kPageHead);
    put(fd, "<BODY ");
    put(fd, state().body_attribute);
    put(fd, ">\n");
    put(fd,
        "<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n<center><b><FONT SIZE=+1 "
        "COLOR=#0000BB>Membership</FONT></b></center><hr>\n");
    if (group_view) {
        put_escaped(fd,
                    "<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+2>Group <FONT "
                    "COLOR=\"ff0000\">",
                    held,
                    "</FONT></FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>Members<TD>&nbsp;<TD>Non "
                    "Members<TR><TD ALIGN=CENTER> <SELECT NAME=\"MemberOf\" SIZE=7>\n");
        for (const config::UserRecord& u : l.users)
            if (config::is_group_member(l, u.name, held)) put_escaped(fd, "<OPTION> ", u.name, "\n");
        put(fd,
            "</SELECT> <TD WIDTH=110 ALIGN=CENTER><INPUT TYPE=\"SUBMIT\" NAME=\"AddToGroup\" "
            "VALUE=\" &lt;&lt;   Add   \"><P>\n<INPUT TYPE=\"SUBMIT\" NAME=\"RemoveFromGroup\" "
            "VALUE=\"Remove &gt;&gt;\">\n<TD ALIGN=RIGHT> <SELECT NAME=\"NonMemberOf\" SIZE=7>\n");
        for (const config::UserRecord& u : l.users)
            if (!config::is_group_member(l, u.name, held)) put_escaped(fd, "<OPTION> ", u.name, "\n");
        put(fd, "</SELECT> ");
        put(fd,
            "</TABLE></CENTER><HR><P><CENTER><a "
            "href=\"/admin/config/content/groups\"><b>Back</b></a>");
        platform::copy_bounded(state().last_config_page, "showmembershipg");
    } else {
        put_escaped(fd,
                    "<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+2>User <FONT "
                    "COLOR=\"CC0000\">",
                    held,
                    "</FONT></FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>Member of<TD>&nbsp;<TD>Not "
                    "Member of<TR><TD ALIGN=CENTER> <SELECT NAME=\"MemberOf\" SIZE=7>\n");
        for (const config::GroupRecord& g : l.groups)
            if (config::is_group_member(l, held, g.name)) put_escaped(fd, "<OPTION> ", g.name, "\n");
        put(fd,
            "</SELECT> <TD WIDTH=110 ALIGN=CENTER><INPUT TYPE=\"SUBMIT\" NAME=\"AddToUser\" "
            "VALUE=\" &lt;&lt;   Add   \"><P>\n<INPUT TYPE=\"SUBMIT\" NAME=\"RemoveFromUser\" "
            "VALUE=\"Remove &gt;&gt;\">\n<TD ALIGN=RIGHT> <SELECT NAME=\"NonMemberOf\" SIZE=7>\n");
        for (const config::GroupRecord& g : l.groups)
            if (!config::is_group_member(l, held, g.name)) put_escaped(fd, "<OPTION> ", g.name, "\n");
        put(fd, "</SELECT> ");
        put(fd,
            "</TABLE></CENTER><HR><P><CENTER><a "
            "href=\"/admin/config/content/users\"><b>Back</b></a>");
        platform::copy_bounded(state().last_config_page, "showmembershipu");
    }
    save_cancel(fd);
    put(fd, "</CENTER>");
    put(fd, "</FORM></BODY>\n");
    return 1;
}

}  // namespace kv::admin
