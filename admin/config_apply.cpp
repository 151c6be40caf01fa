// /admin/config/apply: every configuration form is sent here. The buttons of
// the form are recognised by their encoded "name=caption" text, tested in a
// fixed order; Save writes the section named by the form's hidden marker into
// the administration's settings copy and the copy to the registry, the list
// buttons edit the copy's lists, and the browser is sent back to the page the
// form came from.
//
// Field values are always read from the request as it arrived, one field at
// a time ('+' made a blank, then %XX decoded), and only at the start of a
// field, so a value holding '&', '+' or '%' arrives as typed and a field name
// that ends another ("Item" in "AddItem") is never mistaken for it. The
// button tests see the path as the steps leave it (Save turns its '+' into
// blanks; the list buttons decode it).
#include <cctype>
#include <charconv>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "admin/config_pages.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "net/line_io.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

constexpr std::size_t kItemMax = 100;        // most list and name fields
constexpr std::size_t kListItemMax = 200;    // list texts of remove buttons
constexpr std::size_t kLongestField = 1023;  // MailRelayIPs
constexpr std::size_t kTimeListStop = 195;   // the time list stops growing past this
constexpr std::size_t kSendRcvTypeMax = 10;
// A membership redirect: fixed text of up to 58 characters and a name of up
// to 100, each character possibly written as %XX.
constexpr std::size_t kRedirectSize = 64 + 3 * kItemMax;

// The value of the field `name` in the query of path: the text after
// "name=" where the name starts the query or follows '&'. Null when absent.
const char* raw_value(const char* path, const char* name) {
    const char* query = std::strchr(path, '?');
    if (!query || !name[0]) return nullptr;
    const std::size_t n = std::strlen(name);
    for (const char* p = query + 1; p && *p;) {
        if (std::strncmp(p, name, n) == 0 && p[n] == '=') return p + n + 1;
        p = std::strchr(p, '&');
        if (p) ++p;
    }
    return nullptr;
}

// Text field: '+' to blank, %XX decoded, at most max characters. 0 and out
// unchanged when the field is absent.
int read_text(const char* path, const char* name, std::size_t max, char* out, std::size_t size) {
    const char* value = raw_value(path, name);
    if (!value || size == 0) return 0;
    static char raw[3 * kLongestField + 4];
    std::size_t n = std::strcspn(value, "&");
    if (n > 3 * max) n = 3 * max;  // at most three raw bytes per character
    if (n > sizeof raw - 1) n = sizeof raw - 1;
    std::memcpy(raw, value, n);
    raw[n] = '\0';
    net::plus_to_blank(raw);
    net::url_unescape(raw);
    if (std::strlen(raw) > max) raw[max] = '\0';
    platform::copy_bounded(out, raw, size);
    return 1;
}

// A list or name field: empty when absent, trimmed.
void read_item(const char* path, const char* name, std::size_t max, char* out, std::size_t size) {
    out[0] = '\0';
    (void)read_text(path, name, max, out, size);
    net::trim(out);
}

// Number field: decimal digits only (empty gives 0). Anything else, or an
// absent field, leaves *out as it was.
void read_number(const char* path, const char* name, int* out) {
    const char* value = raw_value(path, name);
    if (!value) return;
    const std::size_t n = std::strcspn(value, "&");
    long long number = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (value[i] < '0' || value[i] > '9') return;
        number = number * 10 + (value[i] - '0');
        if (number > 0x7fffffff) return;
    }
    *out = static_cast<int>(number);
}

// Checkbox: 1 when present, 0 when absent (browsers send only ticked boxes).
int read_checkbox(const char* path, const char* name) { return raw_value(path, name) != nullptr; }

// A port or count typed into a list form: its leading decimal digits, 0 when none.
int leading_number(const char* text) {
    long long n = 0;
    for (const char* p = text; *p >= '0' && *p <= '9' && n < 0x7fffffff; ++p) n = n * 10 + (*p - '0');
    return n > 0x7fffffff ? 0 : static_cast<int>(n);
}

template <std::size_t N>
void text_setting(const char* path, const char* name, std::size_t max, char (&setting)[N]) {
    char value[kLongestField + 1];
    if (max > N - 1) max = N - 1;
    if (read_text(path, name, max, value, sizeof value)) platform::copy_bounded(setting, value);
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
    char user[129] = "", server[257] = "", address[257] = "";
    read_item(q, "RemotePOP3User", 128, user, sizeof user);
    read_item(q, "RemotePOP3Server", 256, server, sizeof server);
    read_item(q, "EMailAddress", 256, address, sizeof address);
    if (!user[0] && !server[0] && !address[0]) return;
    config::Pop3Account a{};
    {
        std::unique_lock lock(l.lock);
        if (mem.pop3_index < 0 || static_cast<std::size_t>(mem.pop3_index) >= l.pop3.size()) return;
        a = l.pop3[static_cast<std::size_t>(mem.pop3_index)];
        text_setting(q, "RemotePOP3User", 128, a.RemotePOP3User);
        text_setting(q, "RemotePOP3Server", 256, a.RemotePOP3Server);
        text_setting(q, "POP3Password", 60, a.Password);
        text_setting(q, "KorvanetAccount", 128, a.KorvanetAccount);
        text_setting(q, "EMailAddress", 256, a.EMailAddress);
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

// The fields of the section named by the form's marker.
void section_apply(const char* q, config::Settings& s) {
    if (!std::strchr(q, '?')) return;
    auto has = [q](const char* marker) { return std::strstr(q, marker) != nullptr; };
#define KV_NUM(field, setting) read_number(q, field, &s.setting)
#define KV_BOX(field, setting) s.setting = read_checkbox(q, field)
#define KV_TEXT(field, max, setting) text_setting(q, field, max, s.setting)
    if (has("__PROXY__")) {
        KV_NUM("ProxyPort", ProxyPort);
        KV_BOX("LogAccess", LogAccess);
    }
    if (has("__CACHE__")) {
        KV_NUM("CacheSize", CacheSize);
        KV_TEXT("CacheDir", 256, CacheDir);
        KV_NUM("MaxGopherSize", MaxGopherSize);
        KV_NUM("MaxHttpSize", MaxHttpSize);
        KV_NUM("MaxFtpSize", MaxFtpSize);
        KV_BOX("EnableCache", EnableCache);
        KV_BOX("ContinueAborted", ContinueAborted);
        KV_BOX("KeepAborted", KeepAborted);
        KV_BOX("CacheFtpDirOnly", CacheFtpDirOnly);
        KV_NUM("GopherTTL", GopherTTL);
        KV_NUM("HttpTTL", HttpTTL);
        KV_NUM("FtpTTL", FtpTTL);
        KV_BOX("IgnoreNoCache", IgnoreNo_Cache);
    } else if (has("__NETWORK__")) {
        KV_NUM("AdminPort", AdminPort);
        KV_TEXT("NewsServer", 64, NewsServer);
        KV_BOX("Socks4", Socks4);
        KV_BOX("Socks5", Socks5);
        KV_TEXT("DnsServer", 64, DnsServer);
        KV_NUM("SocksPort", SocksPort);
        KV_BOX("SocksAuthentication", SocksAuthentication);
        KV_BOX("Telnet", Telnet);
        KV_NUM("TelnetPort", TelnetPort);
        KV_BOX("FTP", FTP);
        KV_NUM("FTPPort", FTPPort);
        KV_BOX("RealAudio", RealAudio);
        KV_NUM("RealAudioPort", RealAudioPort);
    } else if (has("__WWWSERVER__")) {
        KV_BOX("WWWServer", WWWServer);
        KV_NUM("WWWServerPort", WWWServerPort);
        KV_TEXT("WWWServerDir", 256, WWWServerDir);
        KV_BOX("WWWDirIndex", WWWDirIndex);
        KV_TEXT("WWWDefaultIndex", 199, WWWDefaultIndex);
    } else if (has("__MAIL_TYPE__")) {
        KV_NUM("MailType", MailType);
    } else if (has("__MAIL_SERVER__")) {
        KV_TEXT("MailDir", 256, MailDir);
        KV_TEXT("SMTPServer", 64, SMTPServer);
        char type[kSendRcvTypeMax + 1] = "";
        (void)read_text(q, "MailSendRcvType", kSendRcvTypeMax, type, sizeof type);
        s.MailSendRcvType = std::strcmp(type, "at") == 0 ? 0 : 1;
        KV_BOX("ExceptWeekends", ExceptWeekends);
        if (read_text(q, "MailSendRcvTime", 200, s.MailSendRcvTime, sizeof s.MailSendRcvTime))
            normalise_time_list(s.MailSendRcvTime);
        KV_BOX("AllowToDial", AllowToDial);
        KV_BOX("LogMail", LogMail);
        KV_BOX("LogMailSmtp", LogMailSmtp);
        KV_BOX("LogMailSend", LogMailSend);
        KV_TEXT("DnsServer", 64, DnsServer);
        KV_TEXT("ProblemsTo", 30, ProblemsTo);
        KV_TEXT("MailSmtpBackupMbox", 127, MailSmtpBackupMbox);
        if (std::strcmp(s.MailSmtpBackupMbox, "(none)") == 0) s.MailSmtpBackupMbox[0] = '\0';
    } else {
        if (has("__ASPAM__")) {
            KV_TEXT("MailLocalDomains", 511, MailLocalDomains);
            KV_TEXT("MailRelayIPs", 1023, MailRelayIPs);
        }
        if (has("__MAIL_ADVANCED__")) {
            KV_TEXT("SMTPAuthUser", 127, SmtpAuthUser);
            KV_TEXT("SMTPAuthPass", 127, SmtpAuthPass);
        } else if (has("__MAIL_GATEWAY__")) {
            KV_TEXT("SMTPServer", 64, SMTPServer);
            KV_TEXT("POP3Server", 64, POP3Server);
        } else if (has("__MAIL_TUNNEL__")) {
            KV_TEXT("InternetSMTPServer", 64, SMTP1);
            KV_TEXT("LocalSMTPServer", 64, SMTP2);
        } else if (has("__DIAL__")) {
            KV_TEXT("ConnName", 60, ConnName);
            KV_TEXT("RasUsername", 60, RasUsername);
            KV_TEXT("RasPassword", 60, RasPassword);
            KV_NUM("HangUp", HangUp);
            KV_BOX("LogDial", LogDial);
            KV_BOX("HideConnected", HideConnected);
        } else if (has("__DD__")) {
            KV_TEXT("Sun", 127, DemandDialSun);
            KV_TEXT("Mon", 127, DemandDialMon);
            KV_TEXT("Tue", 127, DemandDialTue);
            KV_TEXT("Wed", 127, DemandDialWed);
            KV_TEXT("Thu", 127, DemandDialThu);
            KV_TEXT("Fri", 127, DemandDialFri);
            KV_TEXT("Sat", 127, DemandDialSat);
        } else if (has("__DIALADVANCED__")) {
            KV_BOX("DialEvery", DialEvery);
            KV_BOX("ExceptLocalNames", ExceptLocalNames);
            KV_TEXT("ExceptStrings", 250, ExceptStrings);
        } else if (has("__ADVANCED__")) {
            KV_TEXT("ParentProxy", 64, ParentProxy);
            KV_NUM("ParentProxyPort", ParentProxyPort);
            KV_TEXT("ParentProxyUsername", 256, ParentProxyUsername);
            KV_TEXT("ParentProxyPassword", 256, ParentProxyPassword);
            KV_NUM("Timeout", Timeout);
            KV_BOX("ReverseLookup", ReverseLookup);
            KV_TEXT("LogsDir", 256, LogsDir);
            KV_TEXT("ProxyAutoconfig", 256, ProxyAutoconfig);
            KV_NUM("ConnectRetry", ConnectRetry);
            KV_BOX("InternalResolver", InternalResolver);
            KV_BOX("RunAsService", RunAsService);
            KV_BOX("EnableBackground", UseBackground);
            KV_NUM("RefreshStatusPage", RefreshStatusPage);
        } else {
            if (has("__SECURITY__")) {
                KV_BOX("LogSecurity", LogSecurity);
                KV_TEXT("SecureInterface", 256, SecureInterface);
            }
            if (has("__MAILPOP3__") && remembered().pop3_index != -1) apply_pop3_edit(q, s.lists);
        }
    }
#undef KV_NUM
#undef KV_BOX
#undef KV_TEXT
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

constexpr const char* kBackToUsers = "<P><a href=\"/admin/config/content/users\"><b>Back</b></a>";

// The Change password button: answers a page in every case.
int change_password(AdminRequest& r, const char* raw, const char* tested) {
    const int fd = r.conn.client.get();
    config::Settings& s = config::admin_copy();
    char user[kItemMax + 1], password[kItemMax + 1], confirm[kItemMax + 1];
    read_item(raw, "ItemUser", kItemMax, user, sizeof user);
    read_item(raw, "NewPassword", kItemMax, password, sizeof password);
    read_item(raw, "NewConfirm", kItemMax, confirm, sizeof confirm);
    (void)net::send_text(fd, kPageHead);
    (void)send_body_line(r);
    (void)net::send_text(fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Change password</FONT></b></center><hr>\n");
    if (!user[0]) {
        (void)net::send_text(fd, "You must select a user from the User list.");
        (void)net::send_text(fd, kBackToUsers);
        return 1;
    }
    if (std::strcmp(password, confirm) != 0) {
        (void)net::send_text(fd, "New password and confirm password do not match.\n");
        (void)net::send_text(fd, kBackToUsers);
        return 1;
    }
    if (std::strstr(tested, "__ACCOUNTS__") && !password[0]) {
        char shown[6 * (kItemMax + 1)];
        net::html_escape_attribute(user, shown, sizeof shown);
        (void)net::send_text(fd, "<FONT SIZE=+1 COLOR=#0000BB>User: </FONT><FONT SIZE=+1 COLOR=#FF0000><b><tt> ");
        (void)net::send_text(fd, shown);
        (void)net::send_text(fd, "</tt></b>");
        (void)net::send_text(fd,
                             "<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n<table border=0>\n<TR><TD ALIGN=RIGHT>"
                             "New Password : <TD><INPUT TYPE=\"PASSWORD\" NAME=\"NewPassword\" SIZE=25><br>\n<TR><TD "
                             "ALIGN=RIGHT>Retype Password  : <TD><INPUT TYPE=\"PASSWORD\" NAME=\"NewConfirm\" "
                             "SIZE=25><br>\n</TABLE>");
        (void)net::send_text(fd, "<INPUT TYPE=\"HIDDEN\" NAME=\"ItemUser\" VALUE=\"");
        (void)net::send_text(fd, shown);
        (void)net::send_text(fd, "\"</FORM>\n");
        (void)net::send_text(fd,
                             "<CENTER><HR><P><INPUT TYPE=\"SUBMIT\" NAME=\"Change_passwd\" VALUE=\"Change password\">\n"
                             "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" "
                             "VALUE=\" Cancel \">\n");
        (void)net::send_text(fd, "</BODY></HTML>\n");
        return 1;
    }
    (void)config::set_password(s.lists, user, password);
    (void)config::set_password(config::live().lists, user, password);
    (void)config::save_settings(s);
    (void)net::send_text(fd, "The password has been changed.\n");
    (void)net::send_text(fd, kBackToUsers);
    return 1;
}

}  // namespace

int config_apply(AdminRequest& r) {
    const int fd = r.conn.client.get();
    config::Settings& s = config::admin_copy();
    config::ConfigLists& l = s.lists;
    RememberedItems& mem = remembered();
    // Fields are read from the request as it came; the button tests see r.path
    // as the steps change it.
    static char raw[kAdminRequestSize + 1];
    platform::copy_bounded(raw, r.path);
    char* tested = r.path;
    auto has = [&tested](const char* button) { return std::strstr(tested, button) != nullptr; };

    static char redirect[kRedirectSize];
    platform::copy_bounded(redirect, state().last_config_page);

    char a[kListItemMax + 1], b[kItemMax + 1], c[kItemMax + 1], d[kItemMax + 1];

    if (has("MemberOf=Member+Of")) {
        decode(tested);
        read_item(raw, "ItemUser", kItemMax, a, sizeof a);
        if (a[0]) set_membership_page(redirect, "showmembership?Show_memberof=Member+of&ItemMemberOf=", a);
    }
    if (has("Members=Members")) {
        decode(tested);
        read_item(raw, "ItemGroup", kItemMax, a, sizeof a);
        if (a[0]) set_membership_page(redirect, "showmembership?nikdo=neco&Show_members=Members&ItemMember=", a);
    }
    if (has("Save=+++Save++")) {
        net::plus_to_blank(tested);
        section_apply(raw, s);
        // The check trims texts; the time list keeps the blank after its last time.
        char times[sizeof s.MailSendRcvTime];
        platform::copy_bounded(times, s.MailSendRcvTime);
        config::validate_settings(s);
        if (std::strstr(raw, "__MAIL_SERVER__") && normalised_time_list(times)) platform::copy_bounded(s.MailSendRcvTime, times);
        if (!config::save_settings(s)) {
            (void)net::send_text(fd, kPageHead);
            (void)net::send_text(fd, "Can't write configuration to Registry<br>Use Registry editor to see what is wrong.");
            return 1;
        }
    }
    if (has("CancelA=+Cancel+")) {
        config::reset_lists(l);
        (void)config::load_settings(s);
        mem.pop3_index = -1;
    } else {
        if (has("Add_link=+++Add+++")) {
            decode(tested);
            read_item(raw, "LocalPort", kItemMax, b, sizeof b);
            read_item(raw, "RemoteHost", kItemMax, a, sizeof a);
            read_item(raw, "RemotePort", kItemMax, c, sizeof c);
            read_item(raw, "Protocol", kItemMax, d, sizeof d);
            if (a[0]) (void)config::add_link(l, leading_number(b), a, leading_number(c), d);
        }
        if (has("Remove_link=Remove")) {
            decode(tested);
            read_item(raw, "LinkListItem", kListItemMax, a, sizeof a);
            (void)config::remove_link(l, a);
        }
        if (has("Add_ip=+++Add+++")) {
            decode(tested);
            read_item(raw, "IPAddress", kItemMax, a, sizeof a);
            (void)config::add_ip_entry(l, a);
        }
        if (has("Remove_ip=Remove")) {
            decode(tested);
            read_item(raw, "IPListItem", kListItemMax, a, sizeof a);
            (void)config::remove_ip_entry(l, a);
        }
        if (has("Add_mail=+++Add+++")) {
            config::Pop3Account acc{};
            char value[257];
            read_item(raw, "RemotePOP3User", 128, value, sizeof value);
            platform::copy_bounded(acc.RemotePOP3User, value);
            read_item(raw, "RemotePOP3Server", 256, value, sizeof value);
            platform::copy_bounded(acc.RemotePOP3Server, value);
            read_item(raw, "POP3Password", 60, value, sizeof value);
            platform::copy_bounded(acc.Password, value);
            read_item(raw, "KorvanetAccount", 128, value, sizeof value);
            platform::copy_bounded(acc.KorvanetAccount, value);
            read_item(raw, "EMailAddress", 256, value, sizeof value);
            if (!value[0]) platform::format_bounded(value, "%s@%s", acc.RemotePOP3User, acc.RemotePOP3Server);
            platform::copy_bounded(acc.EMailAddress, value);
            (void)config::insert_pop3_account(l, acc);
        }
        if (has("Remove_mail=Remove")) {
            decode(tested);
            read_item(raw, "AccountListItem", kListItemMax, a, sizeof a);
            if (a[0]) {
                char* open = std::strstr(a, " (");
                if (!open) return 1;
                char* close = std::strchr(open + 2, ')');
                if (!close) return 1;
                *open = '\0';
                *close = '\0';
                (void)config::remove_pop3_account_by_item(l, a, open + 2);
            }
        }
        if (has("Edit_mail=Edit")) {
            decode(tested);
            read_item(raw, "AccountListItem", sizeof mem.pop3_item - 1, mem.pop3_item, sizeof mem.pop3_item);
            if (!mem.pop3_item[0]) return 1;
            (void)net::send_text(fd,
                                 "HTTP/1.0 302 Redirect\r\nPragma: no-cache\r\nContent-Length: 0\r\nConnection: "
                                 "close\r\nLocation: /admin/config/content/mail/pop3edit\r\n\r\n");
            return 1;
        }
        if (has("Add_rule=+++Add+++")) {
            decode(tested);
            read_item(raw, "HeaderTo", kItemMax, a, sizeof a);
            read_item(raw, "KorvanetAccount", kItemMax, b, sizeof b);
            (void)config::add_sort_rule(l, a, b);
        }
        if (has("Remove_rule=Remove")) {
            decode(tested);
            read_item(raw, "RuleListItem", kListItemMax, a, sizeof a);
            if (char* cut = std::strstr(a, " >>")) *cut = '\0';
            (void)config::remove_sort_rule(l, a);
        }
        if (has("Add_ttl=+++Add+++")) {
            decode(tested);
            read_item(raw, "AddItem", kItemMax, a, sizeof a);
            (void)config::add_ttl_from_text(l, a);
        }
        if (has("Remove_ttl=Remove")) {
            decode(tested);
            read_item(raw, "Item", kItemMax, a, sizeof a);
            (void)config::remove_ttl_from_text(l, a);
        }
        if (has("Add_user=+++Add+++")) {
            decode(tested);
            read_item(raw, "NewUser", kItemMax, a, sizeof a);
            read_item(raw, "NewPassword", kItemMax, b, sizeof b);
            read_item(raw, "NewConfirm", kItemMax, c, sizeof c);
            if (std::strcmp(b, c) == 0) (void)config::add_user(l, a, b);
        }
        if (has("Remove_user=Remove")) {
            decode(tested);
            read_item(raw, "ItemUser", kItemMax, a, sizeof a);
            if (a[0] && config::remove_user(l, a)) {
                (void)config::remove_pop3_account_by_local(l, a);
                (void)config::remove_sort_rule_by_local(l, a);
            }
        }
        if (has("Change_passwd=Change+password")) {
            decode(tested);
            return change_password(r, raw, tested);
        }
        if (has("Add_group=+++Add+++")) {
            decode(tested);
            read_item(raw, "NewGroup", kItemMax, a, sizeof a);
            (void)config::add_group(l, a);
        }
        if (has("Remove_group=Remove")) {
            decode(tested);
            read_item(raw, "ItemGroup", kItemMax, a, sizeof a);
            // The group's account and rule go only with the group ("Admins" stays).
            if (a[0] && config::remove_group(l, a)) {
                char bracketed[kItemMax + 3];
                platform::format_bounded(bracketed, "[%s]", a);
                (void)config::remove_pop3_account_by_local(l, bracketed);
                (void)config::remove_sort_rule_by_local(l, bracketed);
            }
        }
        if (has("AddToGroup=")) {
            decode(tested);
            read_item(raw, "NonMemberOf", kItemMax, a, sizeof a);
            (void)config::add_to_group(l, a, mem.membership_group);
        }
        if (has("RemoveFromGroup=")) {
            decode(tested);
            read_item(raw, "MemberOf", kItemMax, a, sizeof a);
            (void)config::remove_from_group(l, a, mem.membership_group);
        }
        if (has("AddToUser=")) {
            decode(tested);
            read_item(raw, "NonMemberOf", kItemMax, a, sizeof a);
            (void)config::add_to_group(l, mem.membership_user, a);
        }
        if (has("RemoveFromUser=")) {
            decode(tested);
            read_item(raw, "MemberOf", kItemMax, a, sizeof a);
            (void)config::remove_from_group(l, mem.membership_user, a);
        }
        if (has("Add_access=+++Add+++")) {
            decode(tested);
            read_item(raw, "AddItem", kItemMax, a, sizeof a);
            read_item(raw, "AccessItem", kItemMax, b, sizeof b);
            (void)config::add_access_rule(l, a, b);
        }
        const bool remove_access = has("Remove_access=Remove");
        const bool up = has("UrlUp_access=++Up+++");
        const bool down = has("UrlDown_access=Down");
        if (remove_access || up || down) {
            decode(tested);
            read_item(raw, "AccessItem", kItemMax, a, sizeof a);
            if (remove_access) (void)config::remove_access_rule(l, a);
            else if (up) (void)config::move_access_rule_up(l, a);
            else (void)config::move_access_rule_down(l, a);
        }
        const bool add_member = has("AddToAccess=");
        const bool remove_member = has("RemoveFromAccess=");
        if (add_member || remove_member) {
            decode(tested);
            read_item(raw, add_member ? "NonMemberOf" : "MemberOf", kItemMax, a, sizeof a);
            char id[5];
            member_id(l, a, id);
            if (id[0] && add_member) {
                if (!config::is_access_member(l, mem.access_address, id))
                    (void)config::add_access_member(l, mem.access_address, id);
            } else if (id[0]) {
                (void)config::remove_access_member(l, mem.access_address, id);
            }
        }
    }
    (void)net::send_text(fd, "HTTP/1.0 301 Moved Permanently\r\n");
    (void)net::send_text(fd, "Location: /admin/config/content/");
    (void)net::send_text(fd, redirect);
    (void)net::send_text(fd, "\r\n\r\n");
    return 1;
}

}  // namespace kv::admin
