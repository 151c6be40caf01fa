// /admin/config/apply: every configuration form is sent here. The buttons of
// the form are recognised by their encoded "name=caption" text, tested in the
// fixed order of kButtons; Save writes the section named by the form's hidden
// marker into the administration's settings copy (through the section's field
// table) and the copy to the registry, the list buttons edit the copy's lists,
// and the browser is sent back to the page the form came from.
//
// Field values are always read from the request as it arrived, one field at
// a time by the apply rule of admin/form_fields.h (kApplyFields: a field only
// at the start of the query or after '&'; '+' made a blank, then %XX decoded),
// so a value holding '&', '+' or '%' arrives as typed and a field name that
// ends another ("Item" in "AddItem") is never mistaken for it. The button
// tests see the path as the steps leave it (Save turns its '+' into blanks;
// the list buttons decode it), so a button found earlier can hide a later one.
#include <cctype>
#include <charconv>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "admin/config_pages.h"
#include "admin/form_fields.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "net/line_io.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

constexpr std::size_t kItemMax = 100;        // most list and name fields
constexpr std::size_t kListItemMax = 200;    // list texts of remove buttons
constexpr std::size_t kTimeListStop = 195;   // the time list stops growing past this
constexpr std::size_t kSendRcvTypeMax = 10;
// A membership redirect: fixed text of up to 58 characters and a name of up
// to 100, each character possibly written as %XX.
constexpr std::size_t kRedirectSize = 64 + 3 * kItemMax;

// A list or name field by the apply rule: empty when absent, trimmed.
template <std::size_t N>
void read_item(const char* query, const char* name, std::size_t max, char (&out)[N]) {
    form_item(query, name, kApplyFields, max, out, N);
}

// A field of a POP3 account record, as long as the record's field allows.
template <std::size_t N>
void read_account_item(const char* query, const char* name, char (&field)[N]) {
    read_item(query, name, N - 1, field);
}

// The same as typed (not trimmed); the field is left as it was when absent.
template <std::size_t N>
void read_account_text(const char* query, const char* name, char (&field)[N]) {
    (void)form_text(query, name, kApplyFields, N - 1, field, N);
}

// Parses one time piece: "h:m", ":m" (hour 0) or a bare hour (minute 0);
// text after the numbers is ignored. Numbers too large for an int fail.
bool parse_time_piece(const char* piece, int* hour, int* minute) {
    const char* end = piece + std::strlen(piece);
    int h = 0, m = 0;
    const auto hour_read = std::from_chars(piece, end, h);
    if (hour_read.ec == std::errc() && *hour_read.ptr == ':') {
        const auto minute_read = std::from_chars(hour_read.ptr + 1, end, m);
        // A minute past any range is a bad minute; no minute at all is a bare hour.
        if (minute_read.ec == std::errc::result_out_of_range) return false;
        if (minute_read.ec != std::errc()) m = 0;
    } else if (piece[0] == ':' && std::from_chars(piece + 1, end, m).ec == std::errc()) {
        h = 0;
    } else if (hour_read.ec == std::errc()) {
        m = 0;
    } else {
        return false;
    }
    *hour = h;
    *minute = m;
    return true;
}

// The time list: each usable piece written "hh:mm ", others dropped.
template <std::size_t N>
void normalise_time_list(char (&text)[N]) {
    char result[N] = "";
    std::size_t length = 0;
    const char* cursor = text;
    char piece[64];
    while (length <= kTimeListStop && net::next_token(&cursor, " ", piece, sizeof piece)) {
        int hour = 0, minute = 0;
        if (!parse_time_piece(piece, &hour, &minute)) continue;
        if (hour < 0 || hour > 99 || minute < 0 || minute > 59) continue;
        char item[8];
        platform::format_bounded(item, "%02d:%02d ", hour, minute);
        if (length + std::strlen(item) >= N) break;
        std::memcpy(result + length, item, std::strlen(item) + 1);
        length += std::strlen(item);
    }
    platform::copy_bounded(text, result);
}

// 1 when text is a time list as the reader writes it ("hh:mm " pieces).
bool normalised_time_list(const char* text) {
    const std::size_t n = std::strlen(text);
    if (n == 0 || n % 6 != 0) return false;
    for (std::size_t i = 0; i < n; i += 6) {
        const char* t = text + i;
        if (!std::isdigit(static_cast<unsigned char>(t[0])) || !std::isdigit(static_cast<unsigned char>(t[1])) ||
            t[2] != ':' || !std::isdigit(static_cast<unsigned char>(t[3])) ||
            !std::isdigit(static_cast<unsigned char>(t[4])) || t[5] != ' ')
            return false;
    }
    return true;
}

// Writes into the edited POP3 account, keeping the list in its order, and
// makes the remembered item text name the account as its list shows it.
void apply_pop3_edit(const char* q, config::ConfigLists& l) {
    RememberedItems& mem = remembered();
    // The account list page carries the same marker and the same (empty) fields:
    // a form naming neither user, server nor address is that page, not the editor.
    config::Pop3Account named{};
    read_account_item(q, "RemotePOP3User", named.RemotePOP3User);
    read_account_item(q, "RemotePOP3Server", named.RemotePOP3Server);
    read_account_item(q, "EMailAddress", named.EMailAddress);
    if (!named.RemotePOP3User[0] && !named.RemotePOP3Server[0] && !named.EMailAddress[0]) return;
    config::Pop3Account a{};
    {
        std::unique_lock lock(l.lock);
        if (mem.pop3_index < 0 || static_cast<std::size_t>(mem.pop3_index) >= l.pop3.size()) return;
        a = l.pop3[static_cast<std::size_t>(mem.pop3_index)];
        read_account_text(q, "RemotePOP3User", a.RemotePOP3User);
        read_account_text(q, "RemotePOP3Server", a.RemotePOP3Server);
        read_account_text(q, "POP3Password", a.Password);
        read_account_text(q, "KorvanetAccount", a.KorvanetAccount);
        read_account_text(q, "EMailAddress", a.EMailAddress);
        l.pop3.erase(l.pop3.begin() + mem.pop3_index);
    }
    (void)config::insert_pop3_account(l, a);
    // The edit is done: a later Save of the account list page (same marker,
    // empty fields) must not write into this account again. The editor finds
    // the account anew from the item text.
    mem.pop3_index = -1;
    platform::format_bounded(mem.pop3_item, "%s@%s (%s) >> %s", a.RemotePOP3User, a.RemotePOP3Server,
                             a.EMailAddress, a.KorvanetAccount);
}

using enum FieldKind;
using enum FieldLook;

// The web server has no page; a form naming its marker still saves it.
const FormField kWwwServerRows[] = {
    {kCheckbox, kHidden, "", "WWWServer", "WWWServer"},
    {kNumber, kHidden, "", "WWWServerPort", "WWWServerPort"},
    {kText, kHidden, "", "WWWServerDir", "WWWServerDir"},
    {kCheckbox, kHidden, "", "WWWDirIndex", "WWWDirIndex"},
    {kText, kHidden, "", "WWWDefaultIndex", "WWWDefaultIndex"},
};

// A section whose fields a Save writes when its marker is in the form.
struct SectionSave {
    const char* marker;
    const FormFields* fields;
};
// Two chains: in each only the first section whose marker is present saves.
// The relay restrictions come between them, the security page and the POP3
// editor after them, each saved only when no section of a chain before it was.
const SectionSave kFirstChain[] = {
    {"__CACHE__", &kCacheFields},         {"__NETWORK__", &kNetworkFields},
    {"__WWWSERVER__", &kWwwServerFields}, {"__MAIL_TYPE__", &kMailTypeFields},
    {"__MAIL_SERVER__", &kMailServerFields},
};
const SectionSave kSecondChain[] = {
    {"__MAIL_ADVANCED__", &kMailAdvancedFields}, {"__MAIL_GATEWAY__", &kMailGatewayFields},
    {"__MAIL_TUNNEL__", &kMailTunnelFields},     {"__DIAL__", &kDialFields},
    {"__DD__", &kDemandDialFields},              {"__DIALADVANCED__", &kDialAdvancedFields},
    {"__ADVANCED__", &kAdvancedFields},
};

bool has(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

// Saves the first section of the chain whose marker is present; false when none is.
template <std::size_t N>
bool save_first_present(const char* q, const SectionSave (&chain)[N], config::Settings& s) {
    for (const SectionSave& section : chain) {
        if (!has(q, section.marker)) continue;
        save_fields(q, *section.fields, s);
        return true;
    }
    return false;
}

// The fields of the section named by the form's marker.
void section_apply(const char* q, config::Settings& s) {
    if (!std::strchr(q, '?')) return;
    if (has(q, "__PROXY__")) save_fields(q, kProxyFields, s);
    if (save_first_present(q, kFirstChain, s)) return;
    if (has(q, "__ASPAM__")) save_fields(q, kMailAspamFields, s);
    if (save_first_present(q, kSecondChain, s)) return;
    if (has(q, "__SECURITY__")) save_fields(q, kSecurityFields, s);
    if (has(q, "__MAILPOP3__") && remembered().pop3_index != -1) apply_pop3_edit(q, s.lists);
}

// In place: %XX sequences, then '+' to blank.
void decode(char* path) {
    net::url_unescape(path);
    net::plus_to_blank(path);
}

// Percent-encodes everything but letters, digits and "-_.~" (a name may hold
// blanks, '&' or control characters, none of which may stand in a header).
void append_escaped(char* out, std::size_t size, const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::size_t n = std::strlen(out);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        const bool plain = std::isalnum(*p) || std::strchr("-_.~", *p);
        if (n + (plain ? 1 : 3) >= size) break;
        if (plain) {
            out[n++] = static_cast<char>(*p);
        } else {
            out[n++] = '%';
            out[n++] = kHex[*p >> 4];
            out[n++] = kHex[*p & 15];
        }
    }
    out[n] = '\0';
}

// Makes a membership view the page to go back to. The redirect keeps the
// whole text; the frame set's record keeps it when it fits.
void set_membership_page(char (&redirect)[kRedirectSize], const char* fixed, const char* name) {
    platform::copy_bounded(redirect, fixed);
    append_escaped(redirect, sizeof redirect, name);
    if (std::strlen(redirect) < kLastConfigPageSize) platform::copy_bounded(state().last_config_page, redirect);
}

// The 3-digit identifier of a user, or of a group written "[name]"; empty when unknown.
void member_id(const config::ConfigLists& l, char* name, char (&id)[5]) {
    id[0] = '\0';
    const bool group = name[0] == '[';
    if (group) {
        ++name;
        const std::size_t n = std::strlen(name);
        if (n && name[n - 1] == ']') name[n - 1] = '\0';
    }
    const int i = group ? config::find_group(l, name) : config::find_user(l, name);
    if (i < 0) return;
    std::shared_lock lock(l.lock);
    const auto at = static_cast<std::size_t>(i);
    if (group && at < l.groups.size()) platform::copy_bounded(id, l.groups[at].id);
    if (!group && at < l.users.size()) platform::copy_bounded(id, l.users[at].id);
}

// --- the buttons -------------------------------------------------------------

// What a button leaves to do.
enum class Outcome : unsigned char {
    kNext,      // test the next buttons, then send the browser back
    kSendBack,  // test no more buttons; send the browser back
    kAnswered,  // the answer is written (or the connection closes without one)
};

// What the buttons work on.
struct ApplyStep {
    AdminRequest& r;
    const char* raw;  // the request as it came: fields are read from it
    char* tested;     // r.path as the steps leave it: buttons are tested in it
    config::Settings& s;
    config::ConfigLists& l;
    RememberedItems& mem;
    char (&redirect)[kRedirectSize];  // the page the browser goes back to
    int which;                        // the index of the button's text that was found
};

constexpr const char* kBackToUsers = "<P><a href=\"/admin/config/content/users\"><b>Back</b></a>";

// The form asking for the new password of `user` (already known to exist in the form).
void new_password_form(net::PageWriter& w, const char* user) {
    w.add("<FONT SIZE=+1 COLOR=#0000BB>User: </FONT><FONT SIZE=+1 COLOR=#FF0000><b><tt> ");
    w.add_escaped(user);
    w.add("</tt></b>");
    w.add("<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n<table border=0>\n<TR><TD ALIGN=RIGHT>"
          "New Password : <TD><INPUT TYPE=\"PASSWORD\" NAME=\"NewPassword\" SIZE=25><br>\n<TR><TD "
          "ALIGN=RIGHT>Retype Password  : <TD><INPUT TYPE=\"PASSWORD\" NAME=\"NewConfirm\" "
          "SIZE=25><br>\n</TABLE>");
    w.add("<INPUT TYPE=\"HIDDEN\" NAME=\"ItemUser\" VALUE=\"");
    w.add_escaped(user);
    w.add("\"</FORM>\n");
    w.add("<CENTER><HR><P><INPUT TYPE=\"SUBMIT\" NAME=\"Change_passwd\" VALUE=\"Change password\">\n"
          "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" "
          "VALUE=\" Cancel \">\n");
    w.add("</BODY></HTML>\n");
}

// The Change password button: answers a page in every case.
Outcome change_password(ApplyStep& a) {
    char user[kItemMax + 1], password[kItemMax + 1], confirm[kItemMax + 1];
    read_item(a.raw, "ItemUser", kItemMax, user);
    read_item(a.raw, "NewPassword", kItemMax, password);
    read_item(a.raw, "NewConfirm", kItemMax, confirm);
    net::PageWriter w(a.r.conn.client.get());
    w.add(kPageHead);
    send_body_line(w);
    w.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Change password</FONT></b></center><hr>\n");
    if (!user[0]) {
        w.add("You must select a user from the User list.");
    } else if (std::strcmp(password, confirm) != 0) {
        w.add("New password and confirm password do not match.\n");
    } else if (has(a.tested, "__ACCOUNTS__") && !password[0]) {
        new_password_form(w, user);
        return Outcome::kAnswered;
    } else {
        (void)config::set_password(a.s.lists, user, password);
        (void)config::set_password(config::live().lists, user, password);
        (void)config::save_settings(a.s);
        w.add("The password has been changed.\n");
    }
    w.add(kBackToUsers);
    return Outcome::kAnswered;
}

Outcome show_user_membership(ApplyStep& a) {
    char user[kItemMax + 1];
    read_item(a.raw, "ItemUser", kItemMax, user);
    if (user[0]) set_membership_page(a.redirect, "showmembership?Show_memberof=Member+of&ItemMemberOf=", user);
    return Outcome::kNext;
}

Outcome show_group_members(ApplyStep& a) {
    char group[kItemMax + 1];
    read_item(a.raw, "ItemGroup", kItemMax, group);
    if (group[0]) set_membership_page(a.redirect, "showmembership?nikdo=neco&Show_members=Members&ItemMember=", group);
    return Outcome::kNext;
}

Outcome save(ApplyStep& a) {
    config::Settings& s = a.s;
    section_apply(a.raw, s);
    // The check trims texts; the time list keeps the blank after its last time.
    char times[sizeof s.MailSendRcvTime];
    platform::copy_bounded(times, s.MailSendRcvTime);
    config::validate_settings(s);
    if (has(a.raw, "__MAIL_SERVER__") && normalised_time_list(times)) platform::copy_bounded(s.MailSendRcvTime, times);
    if (config::save_settings(s)) return Outcome::kNext;
    net::PageWriter w(a.r.conn.client.get());
    w.add(kPageHead);
    w.add("Can't write configuration to Registry<br>Use Registry editor to see what is wrong.");
    return Outcome::kAnswered;
}

Outcome cancel(ApplyStep& a) {
    config::reset_lists(a.l);
    (void)config::load_settings(a.s);
    a.mem.pop3_index = -1;
    return Outcome::kSendBack;
}

Outcome add_link(ApplyStep& a) {
    char local[kItemMax + 1], host[kItemMax + 1], remote[kItemMax + 1], protocol[kItemMax + 1];
    read_item(a.raw, "LocalPort", kItemMax, local);
    read_item(a.raw, "RemoteHost", kItemMax, host);
    read_item(a.raw, "RemotePort", kItemMax, remote);
    read_item(a.raw, "Protocol", kItemMax, protocol);
    if (host[0]) (void)config::add_link(a.l, leading_number(local), host, leading_number(remote), protocol);
    return Outcome::kNext;
}

Outcome remove_link(ApplyStep& a) {
    char item[kListItemMax + 1];
    read_item(a.raw, "LinkListItem", kListItemMax, item);
    (void)config::remove_link(a.l, item);
    return Outcome::kNext;
}

Outcome add_ip(ApplyStep& a) {
    char address[kItemMax + 1];
    read_item(a.raw, "IPAddress", kItemMax, address);
    (void)config::add_ip_entry(a.l, address);
    return Outcome::kNext;
}

Outcome remove_ip(ApplyStep& a) {
    char item[kListItemMax + 1];
    read_item(a.raw, "IPListItem", kListItemMax, item);
    (void)config::remove_ip_entry(a.l, item);
    return Outcome::kNext;
}

Outcome add_mail(ApplyStep& a) {
    config::Pop3Account acc{};
    read_account_item(a.raw, "RemotePOP3User", acc.RemotePOP3User);
    read_account_item(a.raw, "RemotePOP3Server", acc.RemotePOP3Server);
    read_account_item(a.raw, "POP3Password", acc.Password);
    read_account_item(a.raw, "KorvanetAccount", acc.KorvanetAccount);
    read_account_item(a.raw, "EMailAddress", acc.EMailAddress);
    if (!acc.EMailAddress[0])
        platform::format_bounded(acc.EMailAddress, "%s@%s", acc.RemotePOP3User, acc.RemotePOP3Server);
    (void)config::insert_pop3_account(a.l, acc);
    return Outcome::kNext;
}

// A list line "user@server (address) >> local"; one without the parentheses
// closes the connection without an answer.
Outcome remove_mail(ApplyStep& a) {
    char item[kListItemMax + 1];
    read_item(a.raw, "AccountListItem", kListItemMax, item);
    if (!item[0]) return Outcome::kNext;
    char* open = std::strstr(item, " (");
    char* close = open ? std::strchr(open + 2, ')') : nullptr;
    if (!close) return Outcome::kAnswered;
    *open = '\0';
    *close = '\0';
    (void)config::remove_pop3_account_by_item(a.l, item, open + 2);
    return Outcome::kNext;
}

// Remembers the line for the editor and sends the browser there; nothing
// selected closes the connection without an answer.
Outcome edit_mail(ApplyStep& a) {
    read_item(a.raw, "AccountListItem", sizeof a.mem.pop3_item - 1, a.mem.pop3_item);
    if (!a.mem.pop3_item[0]) return Outcome::kAnswered;
    net::PageWriter w(a.r.conn.client.get());
    w.add("HTTP/1.0 302 Redirect\r\nPragma: no-cache\r\nContent-Length: 0\r\nConnection: "
          "close\r\nLocation: /admin/config/content/mail/pop3edit\r\n\r\n");
    return Outcome::kAnswered;
}

Outcome add_rule(ApplyStep& a) {
    char header_to[kItemMax + 1], account[kItemMax + 1];
    read_item(a.raw, "HeaderTo", kItemMax, header_to);
    read_item(a.raw, "KorvanetAccount", kItemMax, account);
    (void)config::add_sort_rule(a.l, header_to, account);
    return Outcome::kNext;
}

Outcome remove_rule(ApplyStep& a) {
    char item[kListItemMax + 1];
    read_item(a.raw, "RuleListItem", kListItemMax, item);
    if (char* cut = std::strstr(item, " >>")) *cut = '\0';
    (void)config::remove_sort_rule(a.l, item);
    return Outcome::kNext;
}

Outcome add_ttl(ApplyStep& a) {
    char text[kItemMax + 1];
    read_item(a.raw, "AddItem", kItemMax, text);
    (void)config::add_ttl_from_text(a.l, text);
    return Outcome::kNext;
}

Outcome remove_ttl(ApplyStep& a) {
    char text[kItemMax + 1];
    read_item(a.raw, "Item", kItemMax, text);
    (void)config::remove_ttl_from_text(a.l, text);
    return Outcome::kNext;
}

Outcome add_user(ApplyStep& a) {
    char user[kItemMax + 1], password[kItemMax + 1], confirm[kItemMax + 1];
    read_item(a.raw, "NewUser", kItemMax, user);
    read_item(a.raw, "NewPassword", kItemMax, password);
    read_item(a.raw, "NewConfirm", kItemMax, confirm);
    if (std::strcmp(password, confirm) == 0) (void)config::add_user(a.l, user, password);
    return Outcome::kNext;
}

// The user's download account and sorting rule go with the user.
Outcome remove_user(ApplyStep& a) {
    char user[kItemMax + 1];
    read_item(a.raw, "ItemUser", kItemMax, user);
    if (user[0] && config::remove_user(a.l, user)) {
        (void)config::remove_pop3_account_by_local(a.l, user);
        (void)config::remove_sort_rule_by_local(a.l, user);
    }
    return Outcome::kNext;
}

Outcome add_group(ApplyStep& a) {
    char group[kItemMax + 1];
    read_item(a.raw, "NewGroup", kItemMax, group);
    (void)config::add_group(a.l, group);
    return Outcome::kNext;
}

// The group's account and rule go only with the group ("Admins" stays).
Outcome remove_group(ApplyStep& a) {
    char group[kItemMax + 1];
    read_item(a.raw, "ItemGroup", kItemMax, group);
    if (group[0] && config::remove_group(a.l, group)) {
        char bracketed[kItemMax + 3];
        platform::format_bounded(bracketed, "[%s]", group);
        (void)config::remove_pop3_account_by_local(a.l, bracketed);
        (void)config::remove_sort_rule_by_local(a.l, bracketed);
    }
    return Outcome::kNext;
}

// The four buttons of the membership views: the name chosen in the view's
// list, with the group or user the view shows.
Outcome add_to_group(ApplyStep& a) {
    char user[kItemMax + 1];
    read_item(a.raw, "NonMemberOf", kItemMax, user);
    (void)config::add_to_group(a.l, user, a.mem.membership_group);
    return Outcome::kNext;
}

Outcome remove_from_group(ApplyStep& a) {
    char user[kItemMax + 1];
    read_item(a.raw, "MemberOf", kItemMax, user);
    (void)config::remove_from_group(a.l, user, a.mem.membership_group);
    return Outcome::kNext;
}

Outcome add_to_user(ApplyStep& a) {
    char group[kItemMax + 1];
    read_item(a.raw, "NonMemberOf", kItemMax, group);
    (void)config::add_to_group(a.l, a.mem.membership_user, group);
    return Outcome::kNext;
}

Outcome remove_from_user(ApplyStep& a) {
    char group[kItemMax + 1];
    read_item(a.raw, "MemberOf", kItemMax, group);
    (void)config::remove_from_group(a.l, a.mem.membership_user, group);
    return Outcome::kNext;
}

Outcome add_access(ApplyStep& a) {
    char pattern[kItemMax + 1], selected[kItemMax + 1];
    read_item(a.raw, "AddItem", kItemMax, pattern);
    read_item(a.raw, "AccessItem", kItemMax, selected);
    (void)config::add_access_rule(a.l, pattern, selected);
    return Outcome::kNext;
}

// Remove, Up or Down of the access list (in that order when several are sent).
Outcome edit_access_rule(ApplyStep& a) {
    char pattern[kItemMax + 1];
    read_item(a.raw, "AccessItem", kItemMax, pattern);
    if (a.which == 0) (void)config::remove_access_rule(a.l, pattern);
    else if (a.which == 1) (void)config::move_access_rule_up(a.l, pattern);
    else (void)config::move_access_rule_down(a.l, pattern);
    return Outcome::kNext;
}

// Add (the name from the non-members) or remove (from the members) a user or
// "[group]" of the access rule the editor shows.
Outcome edit_access_members(ApplyStep& a) {
    const bool add = a.which == 0;
    char name[kItemMax + 1];
    read_item(a.raw, add ? "NonMemberOf" : "MemberOf", kItemMax, name);
    char id[5];
    member_id(a.l, name, id);
    if (!id[0]) return Outcome::kNext;
    if (!add) (void)config::remove_access_member(a.l, a.mem.access_address, id);
    else if (!config::is_access_member(a.l, a.mem.access_address, id))
        (void)config::add_access_member(a.l, a.mem.access_address, id);
    return Outcome::kNext;
}

// What a found button does to the tested path before its action.
enum class PathStep : unsigned char { kAsIs, kBlanks, kDecoded };

struct ApplyButton {
    const char* pressed[3];  // encoded "name=caption" texts; the first one found counts
    PathStep step;
    Outcome (*action)(ApplyStep&);
};

// In the order they are tested; the order and each step are part of the
// behaviour (a decoded path hides the '+' of later captions).
const ApplyButton kButtons[] = {
    {{"MemberOf=Member+Of"}, PathStep::kDecoded, show_user_membership},
    {{"Members=Members"}, PathStep::kDecoded, show_group_members},
    {{"Save=+++Save++"}, PathStep::kBlanks, save},
    {{"CancelA=+Cancel+"}, PathStep::kAsIs, cancel},
    {{"Add_link=+++Add+++"}, PathStep::kDecoded, add_link},
    {{"Remove_link=Remove"}, PathStep::kDecoded, remove_link},
    {{"Add_ip=+++Add+++"}, PathStep::kDecoded, add_ip},
    {{"Remove_ip=Remove"}, PathStep::kDecoded, remove_ip},
    {{"Add_mail=+++Add+++"}, PathStep::kAsIs, add_mail},
    {{"Remove_mail=Remove"}, PathStep::kDecoded, remove_mail},
    {{"Edit_mail=Edit"}, PathStep::kDecoded, edit_mail},
    {{"Add_rule=+++Add+++"}, PathStep::kDecoded, add_rule},
    {{"Remove_rule=Remove"}, PathStep::kDecoded, remove_rule},
    {{"Add_ttl=+++Add+++"}, PathStep::kDecoded, add_ttl},
    {{"Remove_ttl=Remove"}, PathStep::kDecoded, remove_ttl},
    {{"Add_user=+++Add+++"}, PathStep::kDecoded, add_user},
    {{"Remove_user=Remove"}, PathStep::kDecoded, remove_user},
    {{"Change_passwd=Change+password"}, PathStep::kDecoded, change_password},
    {{"Add_group=+++Add+++"}, PathStep::kDecoded, add_group},
    {{"Remove_group=Remove"}, PathStep::kDecoded, remove_group},
    {{"AddToGroup="}, PathStep::kDecoded, add_to_group},
    {{"RemoveFromGroup="}, PathStep::kDecoded, remove_from_group},
    {{"AddToUser="}, PathStep::kDecoded, add_to_user},
    {{"RemoveFromUser="}, PathStep::kDecoded, remove_from_user},
    {{"Add_access=+++Add+++"}, PathStep::kDecoded, add_access},
    {{"Remove_access=Remove", "UrlUp_access=++Up+++", "UrlDown_access=Down"}, PathStep::kDecoded, edit_access_rule},
    {{"AddToAccess=", "RemoveFromAccess="}, PathStep::kDecoded, edit_access_members},
};

// The index of the first of the button's texts found in the path; -1 when none is.
int pressed_text(const ApplyButton& b, const char* tested) {
    for (int i = 0; i < 3 && b.pressed[i]; ++i)
        if (has(tested, b.pressed[i])) return i;
    return -1;
}

void take_step(char* tested, PathStep step) {
    if (step == PathStep::kDecoded) decode(tested);
    else if (step == PathStep::kBlanks) net::plus_to_blank(tested);
}

void send_back(int fd, const char* page) {
    net::PageWriter w(fd);
    w.add("HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/");
    w.add(page);
    w.add("\r\n\r\n");
}

}  // namespace

void save_mail_send_type(const char* query, config::Settings& s, const FormField& f) {
    char type[kSendRcvTypeMax + 1] = "";
    (void)form_text(query, f.name, kApplyFields, kSendRcvTypeMax, type, sizeof type);
    s.MailSendRcvType = std::strcmp(type, "at") == 0 ? 0 : 1;
}

void save_mail_send_times(const char* query, config::Settings& s, const FormField& f) {
    if (save_text_field(query, s, f)) normalise_time_list(s.MailSendRcvTime);
}

void save_backup_mailbox(const char* query, config::Settings& s, const FormField& f) {
    (void)save_text_field(query, s, f);
    if (std::strcmp(s.MailSmtpBackupMbox, "(none)") == 0) s.MailSmtpBackupMbox[0] = '\0';
}

const FormFields kWwwServerFields{kWwwServerRows};

int config_apply(AdminRequest& r) {
    // Fields are read from the request as it came; the buttons are tested in
    // r.path as the steps change it.
    static char raw[kAdminRequestSize + 1];
    platform::copy_bounded(raw, r.path);
    static char redirect[kRedirectSize];
    platform::copy_bounded(redirect, state().last_config_page);
    config::Settings& s = config::admin_copy();
    ApplyStep step{r, raw, r.path, s, s.lists, remembered(), redirect, -1};
    for (const ApplyButton& button : kButtons) {
        step.which = pressed_text(button, step.tested);
        if (step.which < 0) continue;
        take_step(step.tested, button.step);
        const Outcome outcome = button.action(step);
        if (outcome == Outcome::kAnswered) return 1;
        if (outcome == Outcome::kSendBack) break;
    }
    send_back(r.conn.client.get(), redirect);
    return 1;
}

}  // namespace kv::admin
