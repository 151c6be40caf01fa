// The configuration frame set, its menu, the help page and the form pages of
// the proxy, network, security and advanced groups. Every page shows the
// administration's settings copy; its form goes to the apply step.
#include <cstdio>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "admin/config_pages.h"
#include "admin/form_fields.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "net/banners.h"
#include "net/line_io.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

constexpr std::size_t kHelpPiece = 8192;
constexpr std::size_t kHelpFileMax = std::size_t{16} << 20;  // far above any help text; stops a runaway file
constexpr std::size_t kEditItemMax = 100;  // characters of AccessItem read from the form

constexpr const char* kFirstEntryOpen =
    "<p><table border=0><td align=center width=100 bgcolor=\"ffffff\"><b>";
constexpr const char* kEntryOpen = "<table border=0><td align=center width=100 bgcolor=\"ffffff\"><b>";
constexpr const char* kRestartEntry =
    "<br><table border=0><td align=center width=100 bgcolor=\"ffffff\"><a href=\"/admin/config/restart\" "
    "target=\"INDEX\"><font size=+1 color=\"#FF0000\">Restart</font></a>\n</table>";

struct MenuEntry {
    const char* frameless_link;  // the frame set's entries, for browsers without frames
    const char* frame_link;      // the menu frame's entries, opening in CONTENT
    const char* closing;
};
const MenuEntry kMenu[] = {
    {"<a href=\"/admin\"> Admin </a><br>\n", "<a href=\"/admin\" TARGET=\"_top\"> Admin </a><br>\n",
     "</b></table><BR>"},
    {"<a href=\"/admin/config/content/proxy\"> Proxy </a><br>\n",
     "<a href=\"/admin/config/content/proxy\" TARGET=\"CONTENT\"> Proxy </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config/content/network\"> Network </a><br>\n",
     "<a href=\"/admin/config/content/network\" TARGET=\"CONTENT\"> Network </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config/content/dial\"> Dial </a><br>\n",
     "<a href=\"/admin/config/content/dial\" TARGET=\"CONTENT\"> Dial </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config/content/users\">Accounts</a><br>\n",
     "<a href=\"/admin/config/content/users\" TARGET=\"CONTENT\">Accounts</a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config/content/mail\"> Mail </a><br>\n",
     "<a href=\"/admin/config/content/mail\" TARGET=\"CONTENT\"> Mail </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config/content/security\" TARGET=\"CONTENT\">Security</a><br>\n",
     "<a href=\"/admin/config/content/security\" TARGET=\"CONTENT\">Security</a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config/content/advanced\" TARGET=\"CONTENT\">Advanced</a><br>\n",
     "<a href=\"/admin/config/content/advanced\" TARGET=\"CONTENT\">Advanced</a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config/content/help#info\"> Info </a><br>\n",
     "<a href=\"/admin/config/content/help#info\" TARGET=\"CONTENT\"> Info </a><br>\n", "</b></table>"},
};

void menu_entries(net::PageWriter& w, bool in_frame) {
    bool first = true;
    for (const MenuEntry& e : kMenu) {
        w.add(first ? kFirstEntryOpen : kEntryOpen);
        if (first) w.add("&lt;");
        w.add(in_frame ? e.frame_link : e.frameless_link);
        w.add(e.closing);
        first = false;
    }
}

const config::Settings& admin_settings() { return config::admin_copy(); }

// A copy of one of the lists, taken under their lock: the page is written
// from the copy, so a slow browser never holds the lock.
template <typename Record>
std::vector<Record> copy_of(const config::ConfigLists& l, const std::vector<Record>& list) {
    std::shared_lock lock(l.lock);
    return list;
}

// --- field tables --------------------------------------------------------
using enum FieldKind;
using enum FieldLook;

//  kind       look      label                       form name       setting         size  trailing
const FormField kProxyRows[] = {
    kTableBegin,
    {kNumber,   kRow,     "Proxy Port:",              "ProxyPort",    "ProxyPort",    5,    "\n"},
    {kCheckbox, kRow,     "Enable Logging:",          "LogAccess",    "LogAccess",    0,    "\n"},
    kTableEnd,
};

// The cache page writes its own lower-case rows.
constexpr const char* kCacheDirLabel = "<tr><td align=right><font size=-1>Cache Directory<td colspan=3>";
const FormField kCacheRows[] = {
    kTableBegin,
    {kText,     kLower,       kCacheDirLabel,        "CacheDir",        "CacheDir",        45, "<br>\n"},
    {kCheckbox, kLowerValued, "<tr><td align=right><font size=-1>Cache Enabled<td>", "EnableCache", "EnableCache",
     0, "<br>\n"},
    {kNumber,   kLower,       "<td align=right><font size=-1>Cache Size<td>", "CacheSize", "CacheSize", 5,
     " MB<br>\n"},
    {kCheckbox, kLowerValued, "<tr><td align=right><font size=-1>Continue Aborted<td>", "ContinueAborted",
     "ContinueAborted", 0, "<br>\n"},
    {kNumber,   kLower,       "<td align=right><font size=-1>Max. HTTP Size<td>", "MaxHttpSize", "MaxHttpSize", 5,
     " kB<br>\n"},
    {kCheckbox, kLowerValued, "<tr><td align=right><font size=-1>Keep Aborted<td>", "KeepAborted", "KeepAborted",
     0, "<br>\n"},
    {kNumber,   kLower,       "<td align=right><font size=-1>Max. FTP Size<td>", "MaxFtpSize", "MaxFtpSize", 5,
     " kB<br>\n"},
    {kCheckbox, kLowerValued, "<tr><td align=right><font size=-1>Cache Ftp directory only<td>", "CacheFtpDirOnly",
     "CacheFtpDirOnly", 0, "<br>\n"},
    {kNumber,   kLower,       "<td align=right><font size=-1>Max. GOPHER Size<td>", "MaxGopherSize",
     "MaxGopherSize", 5, " kB<br>\n"},
    {kLiteral,  kInline,      "\n</TABLE>\n\n<TABLE BORDER=0>\n\n"},
    {kNumber,   kLower,       "<tr><td align=right><font size=-1>HTTP Time-To-Live<td>", "HttpTTL", "HttpTTL", 5,
     " Days<br>\n"},
    {kNumber,   kLower,       "<tr><td align=right><font size=-1>FTP Time-To-Live<td>", "FtpTTL", "FtpTTL", 5,
     " Days<br>\n"},
    {kNumber,   kLower,       "<tr><td align=right><font size=-1>GOPHER Time-To-Live<td>", "GopherTTL", "GopherTTL",
     5, " Days<br>\n"},
    kTableEnd,
    {kCheckbox, kLowerValued, "<font size=-1>Cache pages marked as non-cachable by web server <td>", "IgnoreNoCache",
     "IgnoreNo_Cache", 0, "<br>\n&nbsp;&nbsp;&nbsp;&nbsp;"},
};

const FormField kNetworkRows[] = {
    kTableBegin,
    {kCheckbox, kRow,     "Telnet Gateway",           "Telnet",       "Telnet",       0,    "\nPort "},
    {kNumber,   kInline,  "",                         "TelnetPort",   "TelnetPort",   8,    "\n"},
    {kCheckbox, kRow,     "Ftp Gateway",              "FTP",          "FTP",          0,    "\nPort "},
    {kNumber,   kInline,  "",                         "FTPPort",      "FTPPort",      8,    "\n"},
    {kCheckbox, kRow,     "RealAudio Gateway",        "RealAudio",    "RealAudio",    0,    "\nPort "},
    {kNumber,   kInline,  "",                         "RealAudioPort", "RealAudioPort", 8,  "\n"},
    {kText,     kRow,     "DNS Server",               "DnsServer",    "DnsServer",    18,   "(IP address)\n"},
    {kText,     kRow,     "News Server",              "NewsServer",   "NewsServer",   35,   "\n"},
    kTableEnd,
    {kCheckbox, kInline,  "SOCKS server: Version 4 ", "Socks4",       "Socks4",       0,    ""},
    {kCheckbox, kInline,  "\n Version 5",             "Socks5",       "Socks5",       0,    ""},
    {kNumber,   kInline,  "\n Port ",                 "SocksPort",    "SocksPort",    8,    ""},
    {kCheckbox, kInline,  "\n<BR>Use SOCKS5 Authentication", "SocksAuthentication", "SocksAuthentication", 0,
     "\n<BR>"},
    // Not on the page; a form naming it still sets it.
    {kNumber,   kHidden,  "",                         "AdminPort",    "AdminPort"},
};

// The allowed IP list between the security page's two settings, with its
// buttons and the address to add.
void allowed_ip_list(net::PageWriter& w, const config::Settings& s, const FormField&) {
    w.add("\n<P>\nList of allowed IP addresses: <BR>\n<SELECT NAME=\"IPListItem\" SIZE=5>\n");
    for (const config::IpEntry& e : copy_of(s.lists, s.lists.ips)) {
        w.add("<OPTION>");
        w.add_escaped(e.text);
        w.add("\n");
    }
    w.add("</SELECT><P>\n");
    input_button(w, "Add_ip", "   Add   ");
    w.add("\n");
    input_button(w, "Remove_ip", "Remove");
    w.add("\n<BR>\n");
    input_text(w, "IPAddress", "", 34);
    w.add("\n<BR>\nExamples :192.168.1.5 or 192.168.1.5-192.168.1.10\n<P>");
}

const FormField kSecurityRows[] = {
    {kText,     kInline,  "Secure Interface(s): <BR>", "SecureInterface", "SecureInterface", 34, ""},
    {kLiteral,  kDrawn,   "", nullptr, nullptr, 0, "", allowed_ip_list},
    {kCheckbox, kInline,  "",                         "LogSecurity",  "LogSecurity",  0,
     "Log attemps to access Korvanet from disallowed IP addresses"},
};

const FormField kAdvancedRows[] = {
    kTableBegin,
    {kNumber,   kRow,     "Timeout",                  "Timeout",      "Timeout",      8,    " min\n"},
    {kNumber,   kRow,     "Connect Retry",            "ConnectRetry", "ConnectRetry", 8,    "\n"},
    {kCheckbox, kRow,     "Internal DNS Resolver",    "InternalResolver", "InternalResolver", 0, "\n"},
    {kCheckbox, kRow,     "Reverse DNS",              "ReverseLookup", "ReverseLookup", 0,  "\n"},
    {kText,     kRow,     "Logs Directory",           "LogsDir",      "LogsDir",      45,   "\n"},
    {kText,     kRow,     "Autoconfig File",          "ProxyAutoconfig", "ProxyAutoconfig", 45, "\n"},
    {kText,     kRow,     "Parent Proxy Host:",       "ParentProxy",  "ParentProxy",  25,   ""},
    {kNumber,   kInline,  "\nPort: ",                 "ParentProxyPort", "ParentProxyPort", 8, "\n"},
    {kText,     kRow,     "Parent Proxy Username: ",  "ParentProxyUsername", "ParentProxyUsername", 15, ""},
    {kPassword, kInline,  "\nPassword: ",             "ParentProxyPassword", "ParentProxyPassword", 15, "\n"},
    {kCheckbox, kRow,     "Run as service",           "RunAsService", "RunAsService", 0,    "\n"},
    {kCheckbox, kRow,     "Enable background",        "EnableBackground", "UseBackground", 0, "(for web interface)\n"},
    {kNumber,   kRow,     "Refresh Status Page",      "RefreshStatusPage", "RefreshStatusPage", 8, "(seconds)\n"},
    kTableEnd,
};

}  // namespace

const FormFields kProxyFields{kProxyRows};
const FormFields kCacheFields{kCacheRows};
const FormFields kNetworkFields{kNetworkRows};
const FormFields kSecurityFields{kSecurityRows};
const FormFields kAdvancedFields{kAdvancedRows};

int config_help(AdminRequest& r) {
    net::PageWriter w(r.conn.client.get());
    w.add(kPageHead);
    w.add("<body ");
    w.add(state().body_attribute);
    w.add(" link=\"#4444cc\" vlink=\"#4444cc\">");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(state().config_help_file, "rb"), std::fclose);
    if (file) {
        std::vector<char> piece(kHelpPiece);
        for (std::size_t sent = 0; sent < kHelpFileMax && w.ok();) {
            const std::size_t n = std::fread(piece.data(), 1, piece.size(), file.get());
            if (n == 0) break;
            w.add(piece.data(), n);
            sent += n;
        }
    } else {
        w.add("Help file missing : ");
        w.add(state().config_help_file);
        w.add(".");
    }
    w.add("</body>");
    return 1;
}

int config_frameset(AdminRequest& r) {
    net::PageWriter w(r.conn.client.get());
    w.add(kPageHead);
    w.add("<HTML><HEAD><TITLE>Korvanet Configuration</TITLE><frameset cols=\"155,*\"><frame "
          "src=\"/admin/config/index\" name=\"INDEX\"><frame src=\"/admin/config/content/");
    w.add(state().last_config_page);
    w.add("\" name=\"CONTENT\"></frameset><NOFRAMES></head><body link=\"#0000FF\" vlink=\"#0000FF\" ");
    w.add(state().body_attribute);
    w.add(">\n<img src=\"/admin/images/kvconfig.gif\">");
    menu_entries(w, false);
    w.add(kRestartEntry);
    w.add("</body></center></NOFRAMES></body></HTML>");
    return 1;
}

int config_menu(AdminRequest& r) {
    {
        net::PageWriter w(r.conn.client.get());
        w.add(kPageHead);
        w.add("<head><title>Korvanet Configuration</title></head><body link=\"#0000FF\" vlink=\"#0000FF\" ");
        w.add(state().body_attribute);
        w.add("><center>\n");
        w.add(net::product_heading());
        w.add("<br><b>Configuration</b><p>\n");
        menu_entries(w, true);
        w.add(kRestartEntry);
        w.add("</center></body>");
    }
    // A pending restart waits until this menu has been delivered.
    state().restart_pending = 0;
    return 1;
}

int page_proxy(AdminRequest& r) { return table_page(r, kProxySections, 0, "Proxy server settings.", kProxyFields); }

int page_cache(AdminRequest& r) { return table_page(r, kProxySections, 1, "Cache settings.", kCacheFields); }

int page_cttl(AdminRequest& r) {
    const config::ConfigLists& l = admin_settings().lists;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kProxySections, 2, "Cache TTL settings for specified URLs.");
    table_begin(w);
    w.add("<tr><td>&nbsp;&nbsp;<font size=-1>TTL based on URL<tr><td><select name=\"Item\" size=8>\n");
    for (const config::TtlRule& t : copy_of(l, l.ttls)) {
        w.addf("<option> %lu@", static_cast<unsigned long>(t.days));
        w.add_escaped(t.pattern);
        w.add("\n");
    }
    w.add("</select>\n");
    w.add("<TD><INPUT TYPE=\"SUBMIT\" NAME=\"Add_ttl\" VALUE=\"   Add   \"><P>\n");
    w.add("<INPUT TYPE=\"SUBMIT\" NAME=\"Remove_ttl\" VALUE=\"Remove\">\n");
    w.add("<tr><td colspan=2><input name=\"AddItem\" type=\"text\" size=48>\n");
    w.add("<tr><td align=left><font size=-1>example: 15@*www* </font>");
    table_end(w);
    page_foot(w);
    return 1;
}

int page_access(AdminRequest& r) {
    const config::ConfigLists& l = admin_settings().lists;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kProxySections, 3, "Web pages access.");
    table_begin(w);
    w.add("<TR><TD>Access List<BR><SELECT NAME=\"AccessItem\" SIZE=10>\n");
    for (const config::AccessRule& a : copy_of(l, l.access)) {
        w.add("<OPTION> ");
        w.add_escaped(a.pattern);
    }
    w.add("</SELECT><TD>");
    w.add("&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"Add_access\" VALUE=\"   Add   \"><p>");
    w.add("&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"Remove_access\" VALUE=\"Remove\"><P>");
    w.add("&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"Edit_access\" VALUE=\"    Edit   \">");
    w.add("<TD>");
    w.add("&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"UrlUp_access\" VALUE=\"  Up   \"><p>");
    w.add("&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"UrlDown_access\" VALUE=\"Down\"><P>");
    w.add("<TR><TD COLSPAN=2><INPUT TYPE=\"TEXT\" NAME=\"AddItem\" SIZE=55>");
    w.add("<tr><td align=left><font size=-1>example: http://www.example.com/* </font>");
    table_end(w);
    page_foot(w);
    return 1;
}

namespace {

// A group (after "Admins", which passes every check anyway) or a user the
// editor offers, on the side the rule puts it.
struct AccessCandidate {
    std::string id;
    std::string name;
    bool group;
    bool allowed = false;
};

std::vector<AccessCandidate> access_candidates(const config::ConfigLists& l, const char* address) {
    std::vector<AccessCandidate> out;
    {
        std::shared_lock lock(l.lock);
        for (std::size_t i = 1; i < l.groups.size(); ++i) out.push_back({l.groups[i].id, l.groups[i].name, true});
        for (const config::UserRecord& u : l.users) out.push_back({u.id, u.name, false});
    }
    // The membership test takes the lock itself.
    for (AccessCandidate& c : out) c.allowed = config::is_access_member(l, address, c.id.c_str()) != 0;
    return out;
}

void candidate_options(net::PageWriter& w, const std::vector<AccessCandidate>& all, bool allowed) {
    for (const AccessCandidate& c : all) {
        if (c.allowed != allowed) continue;
        w.add(c.group ? "<OPTION> [" : "<OPTION> ");
        w.add_escaped(c.name.c_str());
        w.add(c.group ? "]\n" : "\n");
    }
}

// The address the editor shows: the one the request names, else the one
// remembered. Empty when neither.
const char* edited_address(const AdminRequest& r) {
    // Browsers send a blank as '+' and a '+' as "%2B": blanks first, then the
    // escapes, so a '+' of an address survives.
    char item[kEditItemMax + 1];
    form_item(r.path ? r.path : "", "AccessItem", kPageFields, kEditItemMax, item, sizeof item);
    RememberedItems& memory = remembered();
    if (item[0]) platform::copy_bounded(memory.access_address, item);
    return memory.access_address;
}

}  // namespace

int page_edit(AdminRequest& r) {
    net::PageWriter w(r.conn.client.get());
    const char* address = edited_address(r);
    if (!address[0]) {
        w.add("HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/access\r\n\r\n");
        return 1;
    }
    const std::vector<AccessCandidate> candidates = access_candidates(admin_settings().lists, address);
    w.add(kPageHead);
    send_body_line(w);
    w.add("<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n<center><b><FONT SIZE=+1 "
          "COLOR=#0000BB>Access</FONT></b></center><hr>\n");
    w.add("<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+1>Url : </FONT><FONT COLOR=\"ff0000\">");
    w.add_escaped(address);
    w.add("</FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>Allow<TD>&nbsp;<TD>Groups/Users<TR><TD ALIGN=CENTER> "
          "<SELECT NAME=\"MemberOf\" SIZE=7>\n");
    candidate_options(w, candidates, true);
    w.add("</SELECT> <TD WIDTH=110 ALIGN=CENTER><INPUT TYPE=\"SUBMIT\" NAME=\"AddToAccess\" VALUE=\" &lt;&lt;   "
          "Add   \"><P>\n<INPUT TYPE=\"SUBMIT\" NAME=\"RemoveFromAccess\" VALUE=\"Remove &gt;&gt;\">\n<TD "
          "ALIGN=RIGHT> <SELECT NAME=\"NonMemberOf\" SIZE=7>\n");
    candidate_options(w, candidates, false);
    w.add("</SELECT> </TABLE></CENTER><HR><P><CENTER>");
    save_cancel(w);
    w.add("</CENTER></FORM></BODY>\n");
    platform::copy_bounded(state().last_config_page, "edit");
    return 1;
}

int page_network(AdminRequest& r) { return table_page(r, kNetworkSections, 0, nullptr, kNetworkFields); }

int page_maplink(AdminRequest& r) {
    const config::ConfigLists& l = admin_settings().lists;
    net::PageWriter w(r.conn.client.get());
    page_head(w, kNetworkSections, 1, nullptr);
    w.add("List of mapped links:<BR>\n\n<SELECT NAME=\"LinkListItem\" SIZE=8>\n");
    for (const config::LinkRecord& k : copy_of(l, l.links)) {
        w.add("<OPTION>");
        w.add_escaped(k.protocol);
        w.addf(" %d ", k.local_port);
        w.add_escaped(k.host);
        w.addf(":%d\n", k.remote_port);
    }
    w.add("</SELECT>\n<P>");
    input_button(w, "Add_link", "   Add   ");
    w.add("\n");
    input_button(w, "Remove_link", "Remove");
    w.add("\n<P>");
    table_begin(w);
    const struct {
        const char* label;
        const char* name;
        int size;
    } inputs[] = {{"Local port: ", "LocalPort", 5}, {"Remote host: ", "RemoteHost", 40}, {"Remote port: ", "RemotePort", 5}};
    for (const auto& in : inputs) {
        row_begin(w, in.label);
        input_text(w, in.name, "", in.size);
        w.add("\n");
    }
    row_begin(w, "Protocol: ");
    w.add("<SELECT NAME=\"Protocol\" SIZE=1>\n<OPTION SELECTED>TCP\n<OPTION>UDP\n</SELECT>\n\n");
    table_end(w);
    page_foot(w);
    return 1;
}

int page_security(AdminRequest& r) {
    return table_page(r, kSecuritySections, 0,
                      "By setting up security, you can restrict access to Korvanet services.", kSecurityFields);
}

int page_advanced(AdminRequest& r) { return table_page(r, kAdvancedSections, 0, nullptr, kAdvancedFields); }

}  // namespace kv::admin
