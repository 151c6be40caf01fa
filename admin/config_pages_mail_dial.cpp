// The dial-up and mail pages of the configuration: dial, demand dial and its
// advanced settings, the mail type, gateway, forwarding and mail server pages
// (general, POP3 downloads and their editor, sorting rules, relay
// restrictions, advanced). They show the administration's settings copy;
// their forms go to the apply step, which reads the same field names.
#include <strings.h>

#include <cstring>

#include "admin/config_pages.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "net/line_io.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

inline constexpr std::size_t kEscapedTextSize = 6200;  // the longest setting (1022), escaped
inline constexpr std::size_t kListLineSize = 1600;     // one list line before escaping

void put(int fd, const char* text) { (void)net::send_text(fd, text); }

// Sends before + escaped(text) + after: stored texts may hold any character.
void put_escaped(int fd, const char* before, const char* text, const char* after) {
    static char escaped[kEscapedTextSize];  // admin thread only
    net::html_escape_attribute(text, escaped, sizeof escaped);
    put(fd, before);
    put(fd, escaped);
    put(fd, after);
}

const char* checked(int on) { return on ? "checked" : ""; }

// The Save and Cancel buttons of the pages that build their own frame.
void save_cancel(int fd) {
    put(fd, "<INPUT NAME=\"Save\" TYPE=\"SUBMIT\" VALUE=\"   Save  \">\n");
    put(fd, "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp");
    put(fd, "<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" VALUE=\" Cancel \">\n");
}

// "<OPTION> [group]\n" per group, then "<OPTION> user\n" per user; the one
// equal to `selected` (groups written "[name]") gets " SELECTED".
void account_options(int fd, const config::ConfigLists& l, const char* selected) {
    char text[kListLineSize];
    for (const config::GroupRecord& g : l.groups) {
        platform::format_bounded(text, "[%s]", g.name);
        const bool on = selected && std::strcmp(text, selected) == 0;
        put_escaped(fd, on ? "<OPTION SELECTED> " : "<OPTION> ", text, "\n");
    }
    for (const config::UserRecord& u : l.users) {
        const bool on = selected && std::strcmp(u.name, selected) == 0;
        put_escaped(fd, on ? "<OPTION SELECTED> " : "<OPTION> ", u.name, "\n");
    }
}

// The account table of mail/pop3 (empty fields) and mail/pop3edit (an account).
void pop3_table(int fd, const config::ConfigLists& l, const config::Pop3Account* a) {
    table_begin(fd);
    row_begin(fd, "POP3 Username");
    input_text(fd, "RemotePOP3User", a ? a->RemotePOP3User : "", 30);
    put(fd, "\n");
    row_begin(fd, "POP3 Server");
    input_text(fd, "RemotePOP3Server", a ? a->RemotePOP3Server : "", 30);
    put(fd, "\n");
    row_begin(fd, "Password");
    input_password(fd, "POP3Password", a ? a->Password : "", 23);
    put(fd, "\n");
    row_begin(fd, "E-Mail");
    input_text(fd, "EMailAddress", a ? a->EMailAddress : "", a ? 30 : 48);
    put(fd, "\n");
    row_begin(fd, "Move to Local Account");
    put(fd, "<SELECT NAME=\"KorvanetAccount\" SIZE=1>\n");
    const bool rule = a && std::strcmp(a->KorvanetAccount, "{ RULE }") == 0;
    put(fd, rule ? "<OPTION SELECTED>{ RULE }\n" : "<OPTION>{ RULE }\n");
    account_options(fd, l, a ? a->KorvanetAccount : nullptr);
    put(fd, "</SELECT>\n");
    put(fd, "\n");
    table_end(fd);
}

void user_options(int fd, const config::ConfigLists& l, const char* current, std::size_t compare) {
    for (const config::UserRecord& u : l.users) {
        const bool on = std::strncmp(u.name, current, compare) == 0;
        put(fd, on ? "<OPTION selected> " : "<OPTION > ");
        put_escaped(fd, "", u.name, "\n");
    }
}

}  // namespace

int page_dial(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    page_head(r, kDialSections, 0,
              "If you are connecting to the Internet through a dial-up connection (modem, ISDN), "
              "select a dial-up connection which Korvanet should use for Internet access.");
    if (!dial::running()) {
        put(fd, "RAS is not installed.\n");
        page_foot(r);
        return 1;
    }
    // No phone book to list here: the stored connection is offered beside "(none)".
    table_begin(fd);
    row_begin(fd, "Connection Name");
    put(fd, "<SELECT NAME=\"ConnName\" SIZE=1>\n");
    const bool none = strcasecmp(s.ConnName, "(none)") == 0 || !s.ConnName[0];
    put(fd, none ? "<OPTION SELECTED>(none)\n" : "<OPTION>(none)\n");
    if (!none) put_escaped(fd, "<OPTION SELECTED>", s.ConnName, "\n");
    put(fd, "</SELECT>\n");
    put(fd, "\n");
    row_begin(fd, "Username");
    input_text(fd, "RasUsername", s.RasUsername, 30);
    put(fd, "\n");
    row_begin(fd, "Password");
    input_password(fd, "RasPassword", s.RasPassword, 30);
    put(fd, "\n");
    row_begin(fd, "&nbsp;");
    row_begin(fd, "Hang up After");
    input_number(fd, "HangUp", s.HangUp, 5);
    put(fd, " min\n");
    row_begin(fd, "&nbsp;");
    row_begin(fd, "Enable Logging");
    input_checkbox(fd, "LogDial", s.LogDial);
    put(fd, "\n");
    row_begin(fd, "Hide Connected");
    input_checkbox(fd, "HideConnected", s.HideConnected);
    put(fd, "(Dialog under Windows 95)\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_dd(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    page_head(r, kDialSections, 1, "Select time when demand dialing is enabled.");
    put(fd, "Time must be entered in form of : HH:MM-HH:MM.");
    put(fd, "<br>It is possible to enter several intervals separated by comma.\n");
    put(fd, "<br>Example: 7:30-11:00, 15:00-16:45<p>\n\n");
    struct Day {
        const char* label;
        const char* name;
        const char* value;
    };
    const Day days[] = {
        {"Monday", "Mon", s.DemandDialMon},   {"Tuesday", "Tue", s.DemandDialTue},
        {"Wednesday", "Wed", s.DemandDialWed}, {"Thursday", "Thu", s.DemandDialThu},
        {"Friday", "Fri", s.DemandDialFri},   {"Saturday", "Sat", s.DemandDialSat},
        {"Sunday", "Sun", s.DemandDialSun},
    };
    table_begin(fd);
    for (const Day& d : days) {
        row_begin(fd, d.label);
        put(fd, "<input name=\"");
        put(fd, d.name);
        put_escaped(fd, "\" type=\"text\" size=60 maxlength=60 VALUE=\"", d.value, "\" ><BR>\n");
    }
    table_end(fd);
    put(fd,
        "<p>Click <a href=\"/admin/config/content/dialadvanced\">here</a> for additional demand "
        "dial settings.<br>");
    page_foot(r);
    return 1;
}

int page_dialadvanced(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    platform::copy_bounded(state().last_config_page, "dialadvanced");
    put(fd, kPageHead);
    put(fd, "<BODY ");
    put(fd, state().body_attribute);
    put(fd, " link=\"#0044FF\" vlink=\"#0044FF\">\n");
    put(fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Demand Dial advanced</FONT></b></center><hr>\n");
    put(fd, "<form action=\"/admin/config/apply\">");
    put(fd, "<INPUT TYPE=\"HIDDEN\" NAME=\"__DIALADVANCED__\">");
    put(fd,
        "<font size=-1>You may need to set this if you have following problems :<br>- it takes "
        "long time to start dialling<br>- Korvanet doesn't dial again once it has closed dial-up "
        "connection<p>");
    put(fd, "<input type=\"checkbox\" name=\"DialEvery\" ");
    put(fd, checked(s.DialEvery));
    put(fd, ">Dial on each request, ");
    put(fd, "<input type=\"checkbox\" name=\"ExceptLocalNames\" ");
    put(fd, checked(s.ExceptLocalNames));
    put(fd, ">except for local names<br>and names containing following strings : ");
    put_escaped(fd, "<br> <textarea name=\"ExceptStrings\" rows=3 cols=40>", s.ExceptStrings,
                "</textarea>");
    put(fd, "<br>Example : <br>");
    put(fd, "example.com example.org fileserver");
    put(fd, "<HR><CENTER><br>");
    save_cancel(fd);
    put(fd, "</CENTER>");
    put(fd, "</form></BODY>\n");
    return 1;
}

int page_mail(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    page_head(r, kMailSections, 0,
              "Korvanet can handle e-mail traffic in two different ways. The most simple one is "
              "SMTP/POP3 Gateway. Please refer to the on-line help for details");
    table_begin(fd);
    row_begin(fd, "None");
    input_radio(fd, "MailType", 3, s.MailType);
    put(fd, "\n");
    row_begin(fd, "SMTP/POP3 Gateway");
    input_radio(fd, "MailType", 0, s.MailType);
    put(fd, "\n<A HREF=\"/admin/config/content/mail/gateway\"><B>Settings</B></A>\n");
    row_begin(fd, "Mail Server");
    input_radio(fd, "MailType", 1, s.MailType);
    put(fd, "\n<A HREF=\"/admin/config/content/mail/server\"><B>Settings</B></A>\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_mail_gateway(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    page_head(r, kMailGatewaySections, 0, nullptr);
    table_begin(fd);
    row_begin(fd, "Remote SMTP Server");
    input_text(fd, "SMTPServer", s.SMTPServer, 30);
    put(fd, "\n");
    row_begin(fd, "Remote POP3 Server");
    input_text(fd, "POP3Server", s.POP3Server, 30);
    put(fd, "\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_mail_tunnel(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    platform::copy_bounded(state().last_config_page, "mail/tunnel");
    put(fd, kPageHead);
    put(fd, "<BODY ");
    put(fd, state().body_attribute);
    put(fd, " link=\"#0044FF\" vlink=\"#0044FF\">\n");
    put(fd, "<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n");
    put(fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail - Forwarding</FONT></b></center><hr>\n");
    put(fd, "<INPUT TYPE=\"HIDDEN\" NAME=\"__MAIL_TUNNEL__\">\n");
    put(fd, "<table border=0>\n");
    put_escaped(fd,
                "<tr><td align=right><font size=-1>Internet SMTP Server's IP address<td><input "
                "name=\"InternetSMTPServer\" type=\"text\" value=\"",
                s.SMTP1, "\" size=18>\n");
    put_escaped(fd,
                "<tr><td align=right><font size=-1>Local SMTP Server's IP address<td><input "
                "name=\"LocalSMTPServer\" type=\"text\" value=\"",
                s.SMTP2, "\" size=18>\n");
    put(fd, "</table><HR><P><CENTER><a href=\"/admin/config/content/mail\"><b>Back</b></a>");
    save_cancel(fd);
    put(fd, "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp");
    put(fd, "<a href=\"/admin/config/content/help#");
    put(fd, state().last_config_page);
    put(fd, "\"> <b>Help</b> </a>");
    put(fd, "</CENTER>");
    put(fd, "</form></BODY>\n");
    return 1;
}

int page_mail_server(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    const config::ConfigLists& l = s.lists;
    page_head(r, kMailServerSections, 0, nullptr);
    table_begin(fd);
    row_begin(fd, "Mail Directory");
    input_text(fd, "MailDir", s.MailDir, 50);
    put(fd, "\n");
    put_escaped(fd,
                "<tr><td align=right><font size=-1>Remote SMTP Server <td><input "
                "name=\"SMTPServer\" type=\"text\" value=\"",
                s.SMTPServer, "\" size=45><br>\n");
    put(fd, "<tr><td align=right><font size=-1>Send/Receive Mail <td nowrap>\n");
    put(fd, "<select name=\"MailSendRcvType\" size=1>");
    put(fd, s.MailSendRcvType == 0 ? "<option> at <option> every</select>"
                                   : "<option> every<option> at </select>");
    put_escaped(fd, "&nbsp;&nbsp<input type=\"text\" name=\"MailSendRcvTime\" value=\"",
                s.MailSendRcvTime, "\" size=30 maxlength=200>");
    put(fd, "&nbsp<font size=-1><input name=\"ExceptWeekends\" type=\"checkbox\" ");
    put(fd, checked(s.ExceptWeekends));
    put(fd, ">Except weekends<br>\n");
    put(fd, "<tr><td align=right><font size=-1>Allow to Dial <td><input name=\"AllowToDial\" type=\"checkbox\" ");
    put(fd, checked(s.AllowToDial));
    put(fd, ">\n");
    put(fd, "<tr><td align=right><font size=-1>Report problems to ");
    put(fd, "<td><select name=\"ProblemsTo\" size=1><option>problems.txt");
    user_options(fd, l, s.ProblemsTo, 30);
    put(fd, "</select><br>\n");
    const struct {
        const char* text;
        const char* name;
        int on;
    } logs[] = {
        {"Log messages received via POP3 ", "LogMail", s.LogMail},
        {"Log messages received via SMTP ", "LogMailSmtp", s.LogMailSmtp},
        {"Log sent outbound messages", "LogMailSend", s.LogMailSend},
    };
    for (const auto& g : logs) {
        put(fd, "<tr><td colspan=2><font size=-1>");
        put(fd, g.text);
        put(fd, "<input name=\"");
        put(fd, g.name);
        put(fd, "\" type=\"checkbox\" ");
        put(fd, checked(g.on));
        put(fd, "><br>\n");
    }
    put(fd, "<tr><td colspan=2><font size=-1>Backup all received messages to Mailbox: ");
    put(fd, "<select name=\"MailSmtpBackupMbox\" size=1><option>(none)");
    user_options(fd, l, s.MailSmtpBackupMbox, sizeof s.MailSmtpBackupMbox);
    put(fd, "</select><br>\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_mail_pop3(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = config::admin_copy().lists;
    // The list page edits no account: a Save from it must not land in the one
    // last opened in the editor.
    remembered().pop3_index = -1;
    page_head(r, kMailServerSections, 1,
              "Korvanet can download mail from (remote) POP3 accounts and deliver it to local "
              "users' mailboxes.<br> If you need this functionality, add accounts' "
              "specifications to the list.");
    table_begin(fd);
    put(fd,
        "<tr><td><font size=-1>POP3 account download list:<br><tr>\n<td colspan=2><select "
        "name=\"AccountListItem\" size=8>\n");
    char line[kListLineSize];
    for (const config::Pop3Account& a : l.pop3) {
        if (a.RemotePOP3Server[0])
            platform::format_bounded(line, "%s@%s (%s) >> %s", a.RemotePOP3User, a.RemotePOP3Server,
                                a.EMailAddress, a.KorvanetAccount);
        else
            platform::format_bounded(line, "@ (%s) >> %s", a.EMailAddress, a.KorvanetAccount);
        put_escaped(fd, "<option> ", line, "\n");
    }
    put(fd, "</select><br>\n");
    input_button(fd, "Add_mail", "   Add   ");
    put(fd, "\n");
    input_button(fd, "Remove_mail", "Remove");
    put(fd, "\n");
    input_button(fd, "Edit_mail", "Edit");
    put(fd, "\n");
    table_end(fd);
    pop3_table(fd, l, nullptr);
    page_foot(r);
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

}  // namespace

int page_mail_pop3edit(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = config::admin_copy().lists;
    page_head(r, kMailServerSections, 1, "Edit POP3 account settings");
    RememberedItems& rem = remembered();
    // "user@server (address) >> local": the text cut at "(" splits at its last
    // "@" into user and server (the server cut at a blank).
    char item[sizeof rem.pop3_item];
    platform::copy_bounded(item, rem.pop3_item);
    rem.pop3_index = -1;
    char* paren = std::strchr(item, '(');
    if (!std::strstr(item, ">>") || !paren) return 1;  // nothing to edit: the page ends after its head
    *paren = '\0';
    char address[sizeof item];
    platform::copy_bounded(address, paren + 1);
    if (char* close = std::strchr(address, ')')) *close = '\0';
    char* at = std::strrchr(item, '@');
    if (!at) return 1;
    *at = '\0';
    char* server = at + 1;
    if (char* blank = std::strchr(server, ' ')) *blank = '\0';
    net::trim(item);
    const int index = find_listed_account(l, item, server, address);
    if (index < 0) return 1;
    rem.pop3_index = index;
    const config::Pop3Account account = l.pop3[static_cast<std::size_t>(index)];
    pop3_table(fd, l, &account);
    page_foot(r);
    return 1;
}

int page_mail_rules(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = config::admin_copy().lists;
    page_head(r, kMailServerSections, 2,
              "Sorting rules are used to sort messages downloaded from POP3 accounts when {RULE} "
              "was selected as local account.");
    table_begin(fd);
    put(fd, "<tr><td colspan=2><font size=-1>Rule List<br>");
    put(fd, "<tr><td><select name=\"RuleListItem\" size=8>\n");
    char line[kListLineSize];
    for (const config::SortRule& s : l.rules) {
        platform::format_bounded(line, "%s >> %s", s.HeaderTo, s.KorvanetAccount);
        put_escaped(fd, "<OPTION>", line, "\n");
    }
    put(fd, "</select>\n");
    put(fd, "<TD><INPUT TYPE=\"SUBMIT\" NAME=\"Add_rule\" VALUE=\"   Add   \"><P>\n");
    put(fd, "<INPUT TYPE=\"SUBMIT\" NAME=\"Remove_rule\" VALUE=\"Remove\">\n");
    table_end(fd);
    table_begin(fd);
    put(fd,
        "<tr><td align=right><font size=-1>If Mail header <b>To:</b> contains<td><input "
        "name=\"HeaderTo\" type=\"text\" size=48>\n");
    put(fd,
        "<tr><td align=right><font size=-1>Move to Local Account <td><select "
        "name=\"KorvanetAccount\" size=1>\n");
    account_options(fd, l, nullptr);
    put(fd, "</select>\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_mail_aspam(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    page_head(r, kMailServerSections, 3,
              "SMTP Relay restrictions may be used to protect the mail server from being used for "
              "sending spam through it.");
    put(fd,
        "Enable to send mail to any domain through this <br>mail server (open relay) only for "
        "IP addresses from the list.\n");
    put(fd, "<br>\n");
    put(fd, "IP addresses must be specified as IP or IP/MASK combination.");
    put(fd, "<br>\n");
    put(fd, "Example: 192.168.1.5 192.168.1.0/255.255.255.0\n");
    put(fd, "<br>\n");
    put_escaped(fd, "<textarea name=\"MailRelayIPs\" COLS=42 ROWS=3>", s.MailRelayIPs, "</textarea>\n");
    put(fd, "<p>\n");
    put(fd, "Local Domains<br>Enter a list of domains local to this mail server.<br>\n");
    put(fd, "Sender from any IP address can send email addressed to a user from local domains.<br>\n");
    put_escaped(fd, "<textarea name=\"MailLocalDomains\" COLS=42 ROWS=3>", s.MailLocalDomains,
                "</textarea>\n");
    page_foot(r);
    return 1;
}

int page_mail_advanced(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = config::admin_copy();
    page_head(r, kMailServerSections, 4, nullptr);
    table_begin(fd);
    put(fd, "<TR><TD COLSPAN=2><FONT SIZE=-1>Authenticate on remote SMTP server using\n");
    row_begin(fd, "AUTH username");
    input_text(fd, "SMTPAuthUser", s.SmtpAuthUser, 25);
    put(fd, "\n");
    row_begin(fd, "AUTH password");
    input_password(fd, "SMTPAuthPass", s.SmtpAuthPass, 25);
    put(fd, "\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

}  // namespace kv::admin
