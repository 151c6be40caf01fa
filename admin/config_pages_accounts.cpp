// The account pages of the configuration: users, groups, the membership
// chooser and its two views (the members of a group, the groups of a user).
// They show the administration's settings copy; their forms go to the apply
// step, which reads the same field names.
#include <cstring>

#include "admin/config_pages.h"
#include "admin/form_fields.h"
#include "config/settings.h"
#include "net/line_io.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

inline constexpr std::size_t kFormValueMax = 100;  // form values read from the path

// One option per name; names come from the lists and may hold any character.
void option(net::PageWriter& w, const char* before, const char* name) {
    w.add(before);
    w.add_escaped(name);
    w.add("\n");
}

}  // namespace

int page_users(AdminRequest& r) {
    const config::ConfigLists& l = config::admin_copy().lists;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kAccountsSections, 0, nullptr);
    w.add("<B>User List:</B><BR><SELECT NAME=\"ItemUser\" SIZE=10>");
    for (const config::UserRecord& u : l.users) option(w, "<OPTION>", u.name);
    w.add("</SELECT>\n\n<P>\n\n");
    input_button(w, "Remove_user", "Remove");
    w.add("\n");
    input_button(w, "Change_passwd", "Change password");
    w.add("\n");
    input_button(w, "MemberOf", "Member Of");
    w.add("\n<P>");
    table_begin(w);
    row_begin(w, "Username: ");
    input_text(w, "NewUser", "", 25);
    w.add("\n<BR>");
    row_begin(w, "Password: ");
    input_password(w, "NewPassword", "", 25);
    w.add("\n<BR>");
    row_begin(w, "Confirm: ");
    input_password(w, "NewConfirm", "", 25);
    w.add("\n<BR>");
    input_button(w, "Add_user", "   Add   ");
    w.add("\n");
    table_end(w);
    page_foot(w);
    return 1;
}

int page_groups(AdminRequest& r) {
    const config::ConfigLists& l = config::admin_copy().lists;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kAccountsSections, 1, nullptr);
    w.add("<B>Group List:</B><BR><SELECT NAME=\"ItemGroup\" SIZE=10>");
    for (const config::GroupRecord& g : l.groups) option(w, "<OPTION>", g.name);
    w.add("</SELECT>\n\n<P>\n\n");
    input_button(w, "Remove_group", "Remove");
    w.add("\n");
    input_button(w, "Members", "Members");
    w.add("\n<P>");
    table_begin(w);
    row_begin(w, "New Group: ");
    input_text(w, "NewGroup", "", 25);
    w.add("\n&nbsp");
    input_button(w, "Add_group", "   Add   ");
    w.add("\n");
    table_end(w);
    page_foot(w);
    return 1;
}

int page_membership(AdminRequest& r) {
    const config::ConfigLists& l = config::admin_copy().lists;
    net::PageWriter w(r.conn.client.get());
    own_frame_head(w, "membership");
    w.add("<FORM ACTION=\"/admin/config/content/showmembership\" METHOD=GET>\n<center><b><FONT "
          "SIZE=+1 COLOR=#0000BB>Membership</FONT></b></center><hr>\n<TABLE BORDER=0><TR><TD "
          "ALIGN=RIGHT>Groups : <TD ALIGN=CENTER><SELECT NAME=\"ItemMember\" SIZE=12>\n");
    for (const config::GroupRecord& g : l.groups) option(w, "<OPTION>", g.name);
    w.add("</SELECT><TD WIDTH=90 ALIGN=RIGHT>Users:<TD> <SELECT NAME=\"ItemMemberOf\" SIZE=12>\n");
    for (const config::UserRecord& u : l.users) option(w, "<OPTION>", u.name);
    w.add("</SELECT><TR><TD>&nbsp;<TR><TD>&nbsp;<TD ALIGN=CENTER><INPUT TYPE=\"SUBMIT\" "
          "NAME=\"Show_members\" VALUE=\"Members\"><TD>&nbsp;\n<TD ALIGN=CENTER><INPUT "
          "TYPE=\"SUBMIT\" NAME=\"Show_memberof\" VALUE=\"Member of\">\n");
    w.add("<tr><td>&nbsp;<td colspan=3 align=center><a href=\"/admin/config/content/help#");
    w.add(state().last_config_page);
    w.add("\"> <b>Help</b> </a></TABLE></FORM></BODY>\n");
    return 1;
}

namespace {

// One of the two membership views: the name it shows (held), the two lists
// and the page that leads back.
struct MembershipView {
    const char* heading;   // up to the name
    const char* columns;   // after the name, up to the members
    const char* add;       // the add button's name
    const char* remove;    // the remove button's name
    const char* back;      // the page the Back link leads to
    const char* page;      // the view's name as the last configuration page
};
constexpr MembershipView kGroupView{
    "<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+2>Group <FONT COLOR=\"ff0000\">",
    "</FONT></FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>Members<TD>&nbsp;<TD>Non Members<TR><TD ALIGN=CENTER> "
    "<SELECT NAME=\"MemberOf\" SIZE=7>\n",
    "AddToGroup", "RemoveFromGroup", "groups", "showmembershipg"};
constexpr MembershipView kUserView{
    "<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+2>User <FONT COLOR=\"CC0000\">",
    "</FONT></FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>Member of<TD>&nbsp;<TD>Not Member of<TR><TD "
    "ALIGN=CENTER> <SELECT NAME=\"MemberOf\" SIZE=7>\n",
    "AddToUser", "RemoveFromUser", "users", "showmembershipu"};

// The names on one side of a view: the users in or out of the group, or the
// groups the user is or is not in.
void member_options(net::PageWriter& w, const config::ConfigLists& l, bool group_view, const char* held, bool in) {
    if (group_view) {
        for (const config::UserRecord& u : l.users)
            if ((config::is_group_member(l, u.name, held) != 0) == in) option(w, "<OPTION> ", u.name);
    } else {
        for (const config::GroupRecord& g : l.groups)
            if ((config::is_group_member(l, held, g.name) != 0) == in) option(w, "<OPTION> ", g.name);
    }
}

void membership_view(net::PageWriter& w, const config::ConfigLists& l, bool group_view, const char* held) {
    const MembershipView& v = group_view ? kGroupView : kUserView;
    w.add(v.heading);
    w.add_escaped(held);
    w.add(v.columns);
    member_options(w, l, group_view, held, true);
    w.add("</SELECT> <TD WIDTH=110 ALIGN=CENTER><INPUT TYPE=\"SUBMIT\" NAME=\"");
    w.add(v.add);
    w.add("\" VALUE=\" &lt;&lt;   Add   \"><P>\n<INPUT TYPE=\"SUBMIT\" NAME=\"");
    w.add(v.remove);
    w.add("\" VALUE=\"Remove &gt;&gt;\">\n<TD ALIGN=RIGHT> <SELECT NAME=\"NonMemberOf\" SIZE=7>\n");
    member_options(w, l, group_view, held, false);
    w.add("</SELECT> </TABLE></CENTER><HR><P><CENTER><a href=\"/admin/config/content/");
    w.add(v.back);
    w.add("\"><b>Back</b></a>");
    platform::copy_bounded(state().last_config_page, v.page);
}

}  // namespace

int page_showmembership(AdminRequest& r) {
    const config::ConfigLists& l = config::admin_copy().lists;
    static constexpr const char* kPrefix = "/admin/config/content/showmembership";
    const char* after = r.path + std::strlen(kPrefix);
    const bool group_view = std::strstr(r.path, "Show_members=Members") != nullptr ||
                            (std::strncmp(r.path, kPrefix, std::strlen(kPrefix)) == 0 && *after == 'g');
    RememberedItems& rem = remembered();
    char item[kFormValueMax + 1];
    // Read as a browser encodes it, the raw value cut before decoding: an
    // encoded '&' inside a name never ends the value early.
    form_item(r.path, group_view ? "ItemMember" : "ItemMemberOf", kPageFields, kFormValueMax, item, sizeof item);
    char* held = group_view ? rem.membership_group : rem.membership_user;
    const std::size_t held_size = group_view ? sizeof rem.membership_group : sizeof rem.membership_user;
    if (item[0]) platform::copy_bounded(held, item, held_size);
    net::PageWriter w(r.conn.client.get());
    if (!held[0]) {
        w.add("HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/membership\r\n\r\n");
        return 1;
    }
    w.add(kPageHead);
    send_body_line(w);
    w.add("<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n<center><b><FONT SIZE=+1 "
          "COLOR=#0000BB>Membership</FONT></b></center><hr>\n");
    membership_view(w, l, group_view, held);
    save_cancel(w);
    w.add("</CENTER></FORM></BODY>\n");
    return 1;
}

}  // namespace kv::admin
