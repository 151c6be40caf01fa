// The dial-up and mail pages of the configuration: dial, demand dial and its
// advanced settings, the mail type, gateway, forwarding and mail server pages
// (general, POP3 downloads and their editor, sorting rules, relay
// restrictions, advanced). They show the administration's settings copy;
// their forms go to the apply step, which reads the same field tables.
#include <strings.h>

#include <cstring>
#include <string>

#include "admin/config_pages.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "net/line_io.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

inline constexpr std::size_t kListLineSize = 1600;  // one list line before escaping
constexpr const char* kSpacer = "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp";

// "<OPTION> [group]\n" per group, then "<OPTION> user\n" per user; the one
// equal to `selected` (groups written "[name]") gets " SELECTED".
void account_options(net::PageWriter& w, const config::ConfigLists& l, const char* selected) {
    char text[kListLineSize];
    for (const config::GroupRecord& g : l.groups) {
        platform::format_bounded(text, "[%s]", g.name);
        const bool on = selected && std::strcmp(text, selected) == 0;
        w.add(on ? "<OPTION SELECTED> " : "<OPTION> ");
        w.add_escaped(text);
        w.add("\n");
    }
    for (const config::UserRecord& u : l.users) {
        const bool on = selected && std::strcmp(u.name, selected) == 0;
        w.add(on ? "<OPTION SELECTED> " : "<OPTION> ");
        w.add_escaped(u.name);
        w.add("\n");
    }
}

// The account table of mail/pop3 (empty fields) and mail/pop3edit (an account).
void pop3_table(net::PageWriter& w, const config::ConfigLists& l, const config::Pop3Account* a) {
    table_begin(w);
    row_begin(w, "POP3 Username");
    input_text(w, "RemotePOP3User", a ? a->RemotePOP3User : "", 30);
    w.add("\n");
    row_begin(w, "POP3 Server");
    input_text(w, "RemotePOP3Server", a ? a->RemotePOP3Server : "", 30);
    w.add("\n");
    row_begin(w, "Password");
    input_password(w, "POP3Password", a ? a->Password : "", 23);
    w.add("\n");
    row_begin(w, "E-Mail");
    input_text(w, "EMailAddress", a ? a->EMailAddress : "", a ? 30 : 48);
    w.add("\n");
    row_begin(w, "Move to Local Account");
    w.add("<SELECT NAME=\"KorvanetAccount\" SIZE=1>\n");
    const bool rule = a && std::strcmp(a->KorvanetAccount, "{ RULE }") == 0;
    w.add(rule ? "<OPTION SELECTED>{ RULE }\n" : "<OPTION>{ RULE }\n");
    account_options(w, l, a ? a->KorvanetAccount : nullptr);
    w.add("</SELECT>\n\n");
    table_end(w);
}

// --- drawn parts of the field tables -----------------------------------------

// "(none)" first, then the phone book; the entry equal to ConnName without
// regard to case is the one shown.
void connection_options(net::PageWriter& w, const config::Settings& s, const FormField&) {
    w.add(strcasecmp(s.ConnName, "(none)") == 0 ? "<OPTION SELECTED>(none)\n" : "<OPTION>(none)\n");
    for (const std::string& entry : dial::phone_book()) {
        w.add(strcasecmp(entry.c_str(), s.ConnName) == 0 ? "<OPTION SELECTED>" : "<OPTION>");
        w.add_escaped(entry.c_str());
        w.add("\n");
    }
}

void send_type_options(net::PageWriter& w, const config::Settings& s, const FormField&) {
    w.add(s.MailSendRcvType == 0 ? "<option> at <option> every</select>" : "<option> every<option> at </select>");
}

// The users, the one the row's setting names selected.
void user_options(net::PageWriter& w, const config::Settings& s, const FormField& f) {
    const config::SettingInfo* info = field_setting(f);
    if (!info) return;
    const char* current = setting_text(s, f);
    for (const config::UserRecord& u : s.lists.users) {
        w.add(std::strncmp(u.name, current, info->capacity) == 0 ? "<OPTION selected> " : "<OPTION > ");
        w.add_escaped(u.name);
        w.add("\n");
    }
}

// --- field tables --------------------------------------------------------
using enum FieldKind;
using enum FieldLook;

//  kind       look      label                       form name       setting         size  trailing
const FormField kDialRows[] = {
    kTableBegin,
    {kLiteral,  kRow,     "Connection Name"},
    {kText,     kDrawn,   "<SELECT NAME=\"ConnName\" SIZE=1>\n", "ConnName", "ConnName", 0, "</SELECT>\n\n",
     connection_options},
    {kText,     kRow,     "Username",                 "RasUsername",  "RasUsername",  30,   "\n"},
    {kPassword, kRow,     "Password",                 "RasPassword",  "RasPassword",  30,   "\n"},
    {kLiteral,  kRow,     "&nbsp;"},
    {kNumber,   kRow,     "Hang up After",            "HangUp",       "HangUp",       5,    " min\n"},
    {kLiteral,  kRow,     "&nbsp;"},
    {kCheckbox, kRow,     "Enable Logging",           "LogDial",      "LogDial",      0,    "\n"},
    {kCheckbox, kRow,     "Hide Connected",           "HideConnected", "HideConnected", 0, "(Dialog under Windows 95)\n"},
    kTableEnd,
};

#define KV_DAY(label, name)                                                                              \
    {kLiteral, kRow, label},                                                                             \
    {kText, kSpliced, "<input name=\"" #name "\" type=\"text\" size=60 maxlength=60 VALUE=\"", #name, \
     "DemandDial" #name, 0, "\" ><BR>\n"}
const FormField kDemandDialRows[] = {
    {kLiteral,  kInline,  "Time must be entered in form of : HH:MM-HH:MM.<br>It is possible to enter several "
                          "intervals separated by comma.\n<br>Example: 7:30-11:00, 15:00-16:45<p>\n\n"},
    kTableBegin,
    KV_DAY("Monday", Mon), KV_DAY("Tuesday", Tue), KV_DAY("Wednesday", Wed), KV_DAY("Thursday", Thu),
    KV_DAY("Friday", Fri), KV_DAY("Saturday", Sat), KV_DAY("Sunday", Sun),
    kTableEnd,
    {kLiteral,  kInline,  "<p>Click <a href=\"/admin/config/content/dialadvanced\">here</a> for additional demand "
                          "dial settings.<br>"},
};
#undef KV_DAY

const FormField kDialAdvancedRows[] = {
    {kLiteral,  kInline,  "<font size=-1>You may need to set this if you have following problems :<br>- it takes "
                          "long time to start dialling<br>- Korvanet doesn't dial again once it has closed dial-up "
                          "connection<p>"},
    {kCheckbox, kSpliced, "<input type=\"checkbox\" name=\"DialEvery\" ", "DialEvery", "DialEvery", 0,
     ">Dial on each request, "},
    {kCheckbox, kSpliced, "<input type=\"checkbox\" name=\"ExceptLocalNames\" ", "ExceptLocalNames",
     "ExceptLocalNames", 0, ">except for local names<br>and names containing following strings : "},
    {kText,     kSpliced, "<br> <textarea name=\"ExceptStrings\" rows=3 cols=40>", "ExceptStrings", "ExceptStrings",
     0, "</textarea>"},
    {kLiteral,  kInline,  "<br>Example : <br>example.com example.org fileserver"},
};

const FormField kMailTypeRows[] = {
    kTableBegin,
    {kRadio,    kRow,     "None",                     "MailType",     "MailType",     3,    "\n"},
    {kRadio,    kRow,     "SMTP/POP3 Gateway",        "MailType",     "MailType",     0,
     "\n<A HREF=\"/admin/config/content/mail/gateway\"><B>Settings</B></A>\n"},
    {kRadio,    kRow,     "Mail Server",              "MailType",     "MailType",     1,
     "\n<A HREF=\"/admin/config/content/mail/server\"><B>Settings</B></A>\n"},
    kTableEnd,
};

const FormField kMailGatewayRows[] = {
    kTableBegin,
    {kText,     kRow,     "Remote SMTP Server",       "SMTPServer",   "SMTPServer",   30,   "\n"},
    {kText,     kRow,     "Remote POP3 Server",       "POP3Server",   "POP3Server",   30,   "\n"},
    kTableEnd,
};

const FormField kMailTunnelRows[] = {
    {kText,     kLower,   "<tr><td align=right><font size=-1>Internet SMTP Server's IP address<td>",
     "InternetSMTPServer", "SMTP1", 18, "\n"},
    {kText,     kLower,   "<tr><td align=right><font size=-1>Local SMTP Server's IP address<td>", "LocalSMTPServer",
     "SMTP2", 18, "\n"},
};

const FormField kMailServerRows[] = {
    kTableBegin,
    {kText,     kRow,     "Mail Directory",           "MailDir",      "MailDir",      50,   "\n"},
    {kText,     kLower,   "<tr><td align=right><font size=-1>Remote SMTP Server <td>", "SMTPServer", "SMTPServer", 45,
     "<br>\n"},
    {kCustom,   kDrawn,   "<tr><td align=right><font size=-1>Send/Receive Mail <td nowrap>\n"
                          "<select name=\"MailSendRcvType\" size=1>", "MailSendRcvType", "MailSendRcvType", 0, "",
     send_type_options, save_mail_send_type},
    {kCustom,   kSpliced, "&nbsp;&nbsp<input type=\"text\" name=\"MailSendRcvTime\" value=\"", "MailSendRcvTime",
     "MailSendRcvTime", 0, "\" size=30 maxlength=200>", nullptr, save_mail_send_times},
    {kCheckbox, kLower,   "&nbsp<font size=-1>",      "ExceptWeekends", "ExceptWeekends", 0, "Except weekends<br>\n"},
    {kCheckbox, kLower,   "<tr><td align=right><font size=-1>Allow to Dial <td>", "AllowToDial", "AllowToDial", 0,
     "\n"},
    {kText,     kDrawn,   "<tr><td align=right><font size=-1>Report problems to <td><select name=\"ProblemsTo\" "
                          "size=1><option>problems.txt", "ProblemsTo", "ProblemsTo", 0, "</select><br>\n",
     user_options},
    {kCheckbox, kLower,   "<tr><td colspan=2><font size=-1>Log messages received via POP3 ", "LogMail", "LogMail", 0,
     "<br>\n"},
    {kCheckbox, kLower,   "<tr><td colspan=2><font size=-1>Log messages received via SMTP ", "LogMailSmtp",
     "LogMailSmtp", 0, "<br>\n"},
    {kCheckbox, kLower,   "<tr><td colspan=2><font size=-1>Log sent outbound messages", "LogMailSend", "LogMailSend",
     0, "<br>\n"},
    {kCustom,   kDrawn,   "<tr><td colspan=2><font size=-1>Backup all received messages to Mailbox: <select "
                          "name=\"MailSmtpBackupMbox\" size=1><option>(none)", "MailSmtpBackupMbox",
     "MailSmtpBackupMbox", 0, "</select><br>\n", user_options, save_backup_mailbox},
    // Not on the page; a form naming it still sets it.
    {kText,     kHidden,  "",                         "DnsServer",    "DnsServer"},
    kTableEnd,
};

const FormField kMailAspamRows[] = {
    {kLiteral,  kInline,  "Enable to send mail to any domain through this <br>mail server (open relay) only for "
                          "IP addresses from the list.\n<br>\nIP addresses must be specified as IP or IP/MASK "
                          "combination.<br>\nExample: 192.168.1.5 192.168.1.0/255.255.255.0\n<br>\n"},
    {kText,     kSpliced, "<textarea name=\"MailRelayIPs\" COLS=42 ROWS=3>", "MailRelayIPs", "MailRelayIPs", 0,
     "</textarea>\n"},
    {kLiteral,  kInline,  "<p>\nLocal Domains<br>Enter a list of domains local to this mail server.<br>\nSender "
                          "from any IP address can send email addressed to a user from local domains.<br>\n"},
    {kText,     kSpliced, "<textarea name=\"MailLocalDomains\" COLS=42 ROWS=3>", "MailLocalDomains",
     "MailLocalDomains", 0, "</textarea>\n"},
};

const FormField kMailAdvancedRows[] = {
    kTableBegin,
    {kLiteral,  kInline,  "<TR><TD COLSPAN=2><FONT SIZE=-1>Authenticate on remote SMTP server using\n"},
    {kText,     kRow,     "AUTH username",            "SMTPAuthUser", "SmtpAuthUser", 25,   "\n"},
    {kPassword, kRow,     "AUTH password",            "SMTPAuthPass", "SmtpAuthPass", 25,   "\n"},
    kTableEnd,
};

}  // namespace

const FormFields kDialFields{kDialRows};
const FormFields kDemandDialFields{kDemandDialRows};
const FormFields kDialAdvancedFields{kDialAdvancedRows};
const FormFields kMailTypeFields{kMailTypeRows};
const FormFields kMailGatewayFields{kMailGatewayRows};
const FormFields kMailTunnelFields{kMailTunnelRows};
const FormFields kMailServerFields{kMailServerRows};
const FormFields kMailAspamFields{kMailAspamRows};
const FormFields kMailAdvancedFields{kMailAdvancedRows};

int page_dial(AdminRequest& r) {
    net::PageWriter w(r.conn.client.get());
    page_head(w, kDialSections, 0,
              "If you are connecting to the Internet through a dial-up connection (modem, ISDN), "
              "select a dial-up connection which Korvanet should use for Internet access.");
    if (dial::running()) draw_fields(w, kDialFields, config::admin_copy());
    else w.add("RAS is not installed.\n");
    page_foot(w);
    return 1;
}

int page_dd(AdminRequest& r) {
    return table_page(r, kDialSections, 1, "Select time when demand dialing is enabled.", kDemandDialFields);
}

int page_dialadvanced(AdminRequest& r) {
    net::PageWriter w(r.conn.client.get());
    own_frame_head(w, "dialadvanced");
    w.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Demand Dial advanced</FONT></b></center><hr>\n");
    w.add("<form action=\"/admin/config/apply\"><INPUT TYPE=\"HIDDEN\" NAME=\"__DIALADVANCED__\">");
    draw_fields(w, kDialAdvancedFields, config::admin_copy());
    w.add("<HR><CENTER><br>");
    save_cancel(w);
    w.add("</CENTER></form></BODY>\n");
    return 1;
}

int page_mail(AdminRequest& r) {
    return table_page(r, kMailSections, 0,
                      "Korvanet can handle e-mail traffic in two different ways. The most simple one is "
                      "SMTP/POP3 Gateway. Please refer to the on-line help for details",
                      kMailTypeFields);
}

int page_mail_gateway(AdminRequest& r) { return table_page(r, kMailGatewaySections, 0, nullptr, kMailGatewayFields); }

int page_mail_tunnel(AdminRequest& r) {
    net::PageWriter w(r.conn.client.get());
    own_frame_head(w, "mail/tunnel");
    w.add("<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n");
    w.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail - Forwarding</FONT></b></center><hr>\n");
    w.add("<INPUT TYPE=\"HIDDEN\" NAME=\"__MAIL_TUNNEL__\">\n<table border=0>\n");
    draw_fields(w, kMailTunnelFields, config::admin_copy());
    w.add("</table><HR><P><CENTER><a href=\"/admin/config/content/mail\"><b>Back</b></a>");
    save_cancel(w);
    w.add(kSpacer);
    w.add("<a href=\"/admin/config/content/help#");
    w.add(state().last_config_page);
    w.add("\"> <b>Help</b> </a></CENTER></form></BODY>\n");
    return 1;
}

int page_mail_server(AdminRequest& r) {
    return table_page(r, kMailServerSections, 0, nullptr, kMailServerFields);
}

int page_mail_pop3(AdminRequest& r) {
    const config::ConfigLists& l = config::admin_copy().lists;
    // The list page edits no account: a Save from it must not land in the one
    // last opened in the editor.
    remembered().pop3_index = -1;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kMailServerSections, 1,
              "Korvanet can download mail from (remote) POP3 accounts and deliver it to local "
              "users' mailboxes.<br> If you need this functionality, add accounts' "
              "specifications to the list.");
    table_begin(w);
    w.add("<tr><td><font size=-1>POP3 account download list:<br><tr>\n<td colspan=2><select "
          "name=\"AccountListItem\" size=8>\n");
    char line[kListLineSize];
    for (const config::Pop3Account& a : l.pop3) {
        if (a.RemotePOP3Server[0])
            platform::format_bounded(line, "%s@%s (%s) >> %s", a.RemotePOP3User, a.RemotePOP3Server,
                                     a.EMailAddress, a.KorvanetAccount);
        else
            platform::format_bounded(line, "@ (%s) >> %s", a.EMailAddress, a.KorvanetAccount);
        w.add("<option> ");
        w.add_escaped(line);
        w.add("\n");
    }
    w.add("</select><br>\n");
    input_button(w, "Add_mail", "   Add   ");
    w.add("\n");
    input_button(w, "Remove_mail", "Remove");
    w.add("\n");
    input_button(w, "Edit_mail", "Edit");
    w.add("\n");
    table_end(w);
    pop3_table(w, l, nullptr);
    page_foot(w);
    return 1;
}

namespace {

// Index of the account a list line names: user and server equal (case-blind);
// a line without a server shows no user, so there the address decides.
int find_listed_account(const config::ConfigLists& l, const char* user, const char* server,
                        const char* address) {
    for (std::size_t i = 0; i < l.pop3.size(); ++i) {
        const config::Pop3Account& a = l.pop3[i];
        if (strcasecmp(a.RemotePOP3Server, server) != 0) continue;
        if (strcasecmp(a.RemotePOP3User, user) == 0 ||
            (!server[0] && strcasecmp(a.EMailAddress, address) == 0))
            return static_cast<int>(i);
    }
    return -1;
}

// The account the remembered list line names: "user@server (address) >>
// local", the text cut at "(" split at its last "@" into user and server (the
// server cut at a blank). -1 when the line names none.
int remembered_account(const config::ConfigLists& l, const char* line) {
    char item[sizeof RememberedItems::pop3_item];
    platform::copy_bounded(item, line);
    char* paren = std::strchr(item, '(');
    if (!std::strstr(item, ">>") || !paren) return -1;
    *paren = '\0';
    char address[sizeof item];
    platform::copy_bounded(address, paren + 1);
    if (char* close = std::strchr(address, ')')) *close = '\0';
    char* at = std::strrchr(item, '@');
    if (!at) return -1;
    *at = '\0';
    char* server = at + 1;
    if (char* blank = std::strchr(server, ' ')) *blank = '\0';
    net::trim(item);
    return find_listed_account(l, item, server, address);
}

}  // namespace

int page_mail_pop3edit(AdminRequest& r) {
    const config::ConfigLists& l = config::admin_copy().lists;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kMailServerSections, 1, "Edit POP3 account settings");
    RememberedItems& rem = remembered();
    rem.pop3_index = remembered_account(l, rem.pop3_item);
    if (rem.pop3_index < 0) return 1;  // nothing to edit: the page ends after its head
    const config::Pop3Account account = l.pop3[static_cast<std::size_t>(rem.pop3_index)];
    pop3_table(w, l, &account);
    page_foot(w);
    return 1;
}

int page_mail_rules(AdminRequest& r) {
    const config::ConfigLists& l = config::admin_copy().lists;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kMailServerSections, 2,
              "Sorting rules are used to sort messages downloaded from POP3 accounts when {RULE} "
              "was selected as local account.");
    table_begin(w);
    w.add("<tr><td colspan=2><font size=-1>Rule List<br><tr><td><select name=\"RuleListItem\" size=8>\n");
    char line[kListLineSize];
    for (const config::SortRule& s : l.rules) {
        platform::format_bounded(line, "%s >> %s", s.HeaderTo, s.KorvanetAccount);
        w.add("<OPTION>");
        w.add_escaped(line);
        w.add("\n");
    }
    w.add("</select>\n");
    w.add("<TD><INPUT TYPE=\"SUBMIT\" NAME=\"Add_rule\" VALUE=\"   Add   \"><P>\n");
    w.add("<INPUT TYPE=\"SUBMIT\" NAME=\"Remove_rule\" VALUE=\"Remove\">\n");
    table_end(w);
    table_begin(w);
    w.add("<tr><td align=right><font size=-1>If Mail header <b>To:</b> contains<td><input "
          "name=\"HeaderTo\" type=\"text\" size=48>\n");
    w.add("<tr><td align=right><font size=-1>Move to Local Account <td><select "
          "name=\"KorvanetAccount\" size=1>\n");
    account_options(w, l, nullptr);
    w.add("</select>\n");
    table_end(w);
    page_foot(w);
    return 1;
}

int page_mail_aspam(AdminRequest& r) {
    return table_page(r, kMailServerSections, 3,
                      "SMTP Relay restrictions may be used to protect the mail server from being used for "
                      "sending spam through it.",
                      kMailAspamFields);
}

int page_mail_advanced(AdminRequest& r) {
    return table_page(r, kMailServerSections, 4, nullptr, kMailAdvancedFields);
}

}  // namespace kv::admin
