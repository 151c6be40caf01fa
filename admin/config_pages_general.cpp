// The configuration frame set, its menu, the help page and the form pages of
// the proxy, network, security and advanced groups. Every page shows the
// administration's settings copy; its form goes to the apply step.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "admin/config_pages.h"
#include "admin/form_fields.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "net/banners.h"
#include "net/line_io.h"
#include "net/text_escape.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

constexpr std::size_t kHelpPiece = 8192;
constexpr std::size_t kHelpFileMax = std::size_t{16} << 20;  // far above any help text; stops a runaway file
constexpr std::size_t kEditItemMax = 100;  // characters of AccessItem read from the form
constexpr const char* kSpacer = "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp";

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

void send(int fd, const char* text) { (void)net::send_text(fd, text); }
void send(int fd, const std::string& text) { (void)net::send_text(fd, text.c_str()); }

std::string menu_text(bool in_frame) {
    std::string out;
    bool first = true;
    for (const MenuEntry& e : kMenu) {
        out += first ? std::string(kFirstEntryOpen) + "&lt;" : std::string(kEntryOpen);
        out += in_frame ? e.frame_link : e.frameless_link;
        out += e.closing;
        first = false;
    }
    return out;
}

const config::Settings& admin_settings() { return config::admin_copy(); }

// Literal cache-page rows: a checkbox carries its own value and "checked".
std::string checkbox_row(const char* label, const char* name, int value) {
    return std::string("<tr><td align=right><font size=-1>") + label + "<td><input name=\"" + name +
           "\" type=\"checkbox\" value=\"" + std::to_string(value) + "\" " + (value ? "checked" : "") + "><br>\n";
}
std::string size_cell(const char* label, const char* name, int value, const char* unit) {
    return std::string("<td align=right><font size=-1>") + label + "<td><input name=\"" + name +
           "\" type=\"text\" value=\"" + std::to_string(value) + "\" size=5> " + unit + "<br>\n";
}
std::string ttl_row(const char* label, const char* name, int value) {
    return std::string("<tr><td align=right><font size=-1>") + label + "<td><input name=\"" + name +
           "\" type=\"text\" value=\"" + std::to_string(value) + "\" size=5> Days<br>\n";
}

}  // namespace

int config_help(AdminRequest& r) {
    const int fd = r.conn.client.get();
    send(fd, std::string(kPageHead) + "<body " + state().body_attribute + " link=\"#4444cc\" vlink=\"#4444cc\">");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(state().config_help_file, "rb"), std::fclose);
    if (file) {
        std::vector<char> piece(kHelpPiece);
        for (std::size_t sent = 0; sent < kHelpFileMax;) {
            const std::size_t n = std::fread(piece.data(), 1, piece.size(), file.get());
            if (n == 0 || !net::send_all(fd, piece.data(), n)) break;
            sent += n;
        }
    } else {
        send(fd, std::string("Help file missing : ") + state().config_help_file + ".");
    }
    send(fd, "</body>");
    return 1;
}

int config_frameset(AdminRequest& r) {
    const int fd = r.conn.client.get();
    std::string out = kPageHead;
    out += "<HTML><HEAD><TITLE>Korvanet Configuration</TITLE><frameset cols=\"155,*\"><frame "
           "src=\"/admin/config/index\" name=\"INDEX\"><frame src=\"/admin/config/content/";
    out += state().last_config_page;
    out += "\" name=\"CONTENT\"></frameset><NOFRAMES>";
    out += std::string("</head><body link=\"#0000FF\" vlink=\"#0000FF\" ") + state().body_attribute + ">\n";
    out += "<img src=\"/admin/images/kvconfig.gif\">";
    out += menu_text(false);
    out += std::string(kRestartEntry) + "</body></center>";
    out += "</NOFRAMES></body></HTML>";
    send(fd, out);
    return 1;
}

int config_menu(AdminRequest& r) {
    const int fd = r.conn.client.get();
    std::string out = kPageHead;
    out += "<head><title>Korvanet Configuration</title>";
    out += std::string("</head><body link=\"#0000FF\" vlink=\"#0000FF\" ") + state().body_attribute +
           "><center>\n";
    out += net::product_heading();
    out += "<br><b>Configuration</b><p>\n";
    out += menu_text(true);
    out += std::string(kRestartEntry) + "</center>";
    out += "</body>";
    send(fd, out);
    // A pending restart waits until this menu has been delivered.
    state().restart_pending = 0;
    return 1;
}

int page_proxy(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = admin_settings();
    page_head(r, kProxySections, 0, "Proxy server settings.");
    table_begin(fd);
    row_begin(fd, "Proxy Port:");
    input_number(fd, "ProxyPort", s.ProxyPort, 5);
    send(fd, "\n");
    row_begin(fd, "Enable Logging:");
    input_checkbox(fd, "LogAccess", s.LogAccess);
    send(fd, "\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_cache(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = admin_settings();
    page_head(r, kProxySections, 1, "Cache settings.");
    std::string out = "<TABLE BORDER=0>\n\n";
    out += "<tr><td align=right><font size=-1>Cache Directory<td colspan=3><input name=\"CacheDir\" type=\"text\" "
           "value=\"" + escaped(s.CacheDir) + "\" size=45><br>\n";
    out += checkbox_row("Cache Enabled", "EnableCache", s.EnableCache);
    out += size_cell("Cache Size", "CacheSize", s.CacheSize, "MB");
    out += checkbox_row("Continue Aborted", "ContinueAborted", s.ContinueAborted);
    out += size_cell("Max. HTTP Size", "MaxHttpSize", s.MaxHttpSize, "kB");
    out += checkbox_row("Keep Aborted", "KeepAborted", s.KeepAborted);
    out += size_cell("Max. FTP Size", "MaxFtpSize", s.MaxFtpSize, "kB");
    out += checkbox_row("Cache Ftp directory only", "CacheFtpDirOnly", s.CacheFtpDirOnly);
    out += size_cell("Max. GOPHER Size", "MaxGopherSize", s.MaxGopherSize, "kB");
    out += "\n</TABLE>\n\n<TABLE BORDER=0>\n\n";
    out += ttl_row("HTTP Time-To-Live", "HttpTTL", s.HttpTTL);
    out += ttl_row("FTP Time-To-Live", "FtpTTL", s.FtpTTL);
    out += ttl_row("GOPHER Time-To-Live", "GopherTTL", s.GopherTTL);
    out += "\n</TABLE>\n\n";
    out += "<font size=-1>Cache pages marked as non-cachable by web server <td><input name=\"IgnoreNoCache\" "
           "type=\"checkbox\" value=\"" + std::to_string(s.IgnoreNo_Cache) + "\" " +
           (s.IgnoreNo_Cache ? "checked" : "") + "><br>\n";
    out += "&nbsp;&nbsp;&nbsp;&nbsp;";
    send(fd, out);
    page_foot(r);
    return 1;
}

int page_cttl(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = admin_settings().lists;
    page_head(r, kProxySections, 2, "Cache TTL settings for specified URLs.");
    std::string out = "<TABLE BORDER=0>\n\n";
    out += "<tr><td>&nbsp;&nbsp;<font size=-1>TTL based on URL<tr><td><select name=\"Item\" size=8>\n";
    {
        std::shared_lock lock(l.lock);
        for (const config::TtlRule& t : l.ttls)
            out += "<option> " + std::to_string(static_cast<unsigned long>(t.days)) + "@" + escaped(t.pattern) + "\n";
    }
    out += "</select>\n";
    out += "<TD><INPUT TYPE=\"SUBMIT\" NAME=\"Add_ttl\" VALUE=\"   Add   \"><P>\n";
    out += "<INPUT TYPE=\"SUBMIT\" NAME=\"Remove_ttl\" VALUE=\"Remove\">\n";
    out += "<tr><td colspan=2><input name=\"AddItem\" type=\"text\" size=48>\n";
    out += "<tr><td align=left><font size=-1>example: 15@*www* </font>";
    out += "\n</TABLE>\n\n";
    send(fd, out);
    page_foot(r);
    return 1;
}

int page_access(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = admin_settings().lists;
    page_head(r, kProxySections, 3, "Web pages access.");
    std::string out = "<TABLE BORDER=0>\n\n";
    out += "<TR><TD>Access List<BR><SELECT NAME=\"AccessItem\" SIZE=10>\n";
    {
        std::shared_lock lock(l.lock);
        for (const config::AccessRule& a : l.access) out += "<OPTION> " + escaped(a.pattern);
    }
    out += "</SELECT><TD>";
    out += "&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"Add_access\" VALUE=\"   Add   \"><p>";
    out += "&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"Remove_access\" VALUE=\"Remove\"><P>";
    out += "&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"Edit_access\" VALUE=\"    Edit   \">";
    out += "<TD>";
    out += "&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"UrlUp_access\" VALUE=\"  Up   \"><p>";
    out += "&nbsp;<INPUT TYPE=\"SUBMIT\" NAME=\"UrlDown_access\" VALUE=\"Down\"><P>";
    out += "<TR><TD COLSPAN=2><INPUT TYPE=\"TEXT\" NAME=\"AddItem\" SIZE=55>";
    out += "<tr><td align=left><font size=-1>example: http://www.example.com/* </font>";
    out += "\n</TABLE>\n\n";
    send(fd, out);
    page_foot(r);
    return 1;
}

int page_edit(AdminRequest& r) {
    const int fd = r.conn.client.get();
    // Browsers send a blank as '+' and a '+' as "%2B": blanks first, then the
    // escapes, so a '+' of an address survives.
    std::string path(r.path ? r.path : "");
    net::plus_to_blank(path.data());
    char item[kEditItemMax + 1]{};
    if (field_text(path.c_str(), "AccessItem", kEditItemMax, item, sizeof item)) net::trim(item);
    RememberedItems& memory = remembered();
    if (item[0]) platform::copy_bounded(memory.access_address, item);
    if (!memory.access_address[0]) {
        send(fd, "HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/access\r\n\r\n");
        return 1;
    }
    const char* address = memory.access_address;
    const config::ConfigLists& l = admin_settings().lists;

    // Groups after the first ("Admins" passes every check anyway), then users,
    // each on the side the rule puts it.
    std::string allowed;
    std::string others;
    {
        std::vector<std::pair<std::string, std::string>> groups;  // id, shown text
        std::vector<std::pair<std::string, std::string>> users;
        {
            std::shared_lock lock(l.lock);
            for (std::size_t i = 1; i < l.groups.size(); ++i)
                groups.emplace_back(l.groups[i].id, "<OPTION> [" + escaped(l.groups[i].name) + "]\n");
            for (const config::UserRecord& u : l.users)
                users.emplace_back(u.id, "<OPTION> " + escaped(u.name) + "\n");
        }
        for (const auto& g : groups) (config::is_access_member(l, address, g.first.c_str()) ? allowed : others) += g.second;
        for (const auto& u : users) (config::is_access_member(l, address, u.first.c_str()) ? allowed : others) += u.second;
    }

    std::string out = kPageHead;
    out += std::string("<BODY ") + state().body_attribute + ">\n";
    out += "<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n<center><b><FONT SIZE=+1 "
           "COLOR=#0000BB>Access</FONT></b></center><hr>\n";
    out += "<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+1>Url : </FONT><FONT COLOR=\"ff0000\">" +
           escaped(address) +
           "</FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>Allow<TD>&nbsp;<TD>Groups/Users<TR><TD ALIGN=CENTER> "
           "<SELECT NAME=\"MemberOf\" SIZE=7>\n";
    out += allowed;
    out += "</SELECT> <TD WIDTH=110 ALIGN=CENTER><INPUT TYPE=\"SUBMIT\" NAME=\"AddToAccess\" VALUE=\" &lt;&lt;   "
           "Add   \"><P>\n<INPUT TYPE=\"SUBMIT\" NAME=\"RemoveFromAccess\" VALUE=\"Remove &gt;&gt;\">\n<TD "
           "ALIGN=RIGHT> <SELECT NAME=\"NonMemberOf\" SIZE=7>\n";
    out += others;
    out += "</SELECT> ";
    out += "</TABLE></CENTER><HR><P><CENTER><INPUT NAME=\"Save\" TYPE=\"SUBMIT\" VALUE=\"   Save  \">\n";
    out += kSpacer;
    out += "<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" VALUE=\" Cancel \">\n";
    out += "</CENTER>";
    out += "</FORM></BODY>\n";
    platform::copy_bounded(state().last_config_page, "edit");
    send(fd, out);
    return 1;
}

int page_network(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = admin_settings();
    page_head(r, kNetworkSections, 0, nullptr);
    struct Gateway {
        const char* label;
        const char* flag;
        int on;
        const char* port;
        int value;
    };
    const Gateway gateways[] = {
        {"Telnet Gateway", "Telnet", s.Telnet, "TelnetPort", s.TelnetPort},
        {"Ftp Gateway", "FTP", s.FTP, "FTPPort", s.FTPPort},
        {"RealAudio Gateway", "RealAudio", s.RealAudio, "RealAudioPort", s.RealAudioPort},
    };
    table_begin(fd);
    for (const Gateway& g : gateways) {
        row_begin(fd, g.label);
        input_checkbox(fd, g.flag, g.on);
        send(fd, "\nPort ");
        input_number(fd, g.port, g.value, 8);
        send(fd, "\n");
    }
    row_begin(fd, "DNS Server");
    input_text(fd, "DnsServer", s.DnsServer, 18);
    send(fd, "(IP address)\n");
    row_begin(fd, "News Server");
    input_text(fd, "NewsServer", s.NewsServer, 35);
    send(fd, "\n");
    table_end(fd);
    send(fd, "SOCKS server: Version 4 ");
    input_checkbox(fd, "Socks4", s.Socks4);
    send(fd, "\n Version 5");
    input_checkbox(fd, "Socks5", s.Socks5);
    send(fd, "\n Port ");
    input_number(fd, "SocksPort", s.SocksPort, 8);
    send(fd, "\n<BR>Use SOCKS5 Authentication");
    input_checkbox(fd, "SocksAuthentication", s.SocksAuthentication);
    send(fd, "\n<BR>");
    page_foot(r);
    return 1;
}

int page_maplink(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::ConfigLists& l = admin_settings().lists;
    page_head(r, kNetworkSections, 1, nullptr);
    std::string out = "List of mapped links:<BR>\n\n<SELECT NAME=\"LinkListItem\" SIZE=8>\n";
    {
        std::shared_lock lock(l.lock);
        for (const config::LinkRecord& k : l.links)
            out += "<OPTION>" + escaped(k.protocol) + " " + std::to_string(k.local_port) + " " + escaped(k.host) +
                   ":" + std::to_string(k.remote_port) + "\n";
    }
    out += "</SELECT>\n<P>";
    send(fd, out);
    input_button(fd, "Add_link", "   Add   ");
    send(fd, "\n");
    input_button(fd, "Remove_link", "Remove");
    send(fd, "\n<P>");
    table_begin(fd);
    row_begin(fd, "Local port: ");
    input_text(fd, "LocalPort", "", 5);
    send(fd, "\n");
    row_begin(fd, "Remote host: ");
    input_text(fd, "RemoteHost", "", 40);
    send(fd, "\n");
    row_begin(fd, "Remote port: ");
    input_text(fd, "RemotePort", "", 5);
    send(fd, "\n");
    row_begin(fd, "Protocol: ");
    send(fd, "<SELECT NAME=\"Protocol\" SIZE=1>\n<OPTION SELECTED>TCP\n<OPTION>UDP\n</SELECT>\n\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

int page_security(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = admin_settings();
    page_head(r, kSecuritySections, 0, "By setting up security, you can restrict access to Korvanet services.");
    send(fd, "Secure Interface(s): <BR>");
    input_text(fd, "SecureInterface", s.SecureInterface, 34);
    std::string out = "\n<P>\nList of allowed IP addresses: <BR>\n<SELECT NAME=\"IPListItem\" SIZE=5>\n";
    {
        std::shared_lock lock(s.lists.lock);
        for (const config::IpEntry& e : s.lists.ips) out += "<OPTION>" + escaped(e.text) + "\n";
    }
    out += "</SELECT><P>\n";
    send(fd, out);
    input_button(fd, "Add_ip", "   Add   ");
    send(fd, "\n");
    input_button(fd, "Remove_ip", "Remove");
    send(fd, "\n<BR>\n");
    input_text(fd, "IPAddress", "", 34);
    send(fd, "\n<BR>\nExamples :192.168.1.5 or 192.168.1.5-192.168.1.10\n<P>");
    input_checkbox(fd, "LogSecurity", s.LogSecurity);
    send(fd, "Log attemps to access Korvanet from disallowed IP addresses");
    page_foot(r);
    return 1;
}

int page_advanced(AdminRequest& r) {
    const int fd = r.conn.client.get();
    const config::Settings& s = admin_settings();
    page_head(r, kAdvancedSections, 0, nullptr);
    table_begin(fd);
    row_begin(fd, "Timeout");
    input_number(fd, "Timeout", s.Timeout, 8);
    send(fd, " min\n");
    row_begin(fd, "Connect Retry");
    input_number(fd, "ConnectRetry", s.ConnectRetry, 8);
    send(fd, "\n");
    row_begin(fd, "Internal DNS Resolver");
    input_checkbox(fd, "InternalResolver", s.InternalResolver);
    send(fd, "\n");
    row_begin(fd, "Reverse DNS");
    input_checkbox(fd, "ReverseLookup", s.ReverseLookup);
    send(fd, "\n");
    row_begin(fd, "Logs Directory");
    input_text(fd, "LogsDir", s.LogsDir, 45);
    send(fd, "\n");
    row_begin(fd, "Autoconfig File");
    input_text(fd, "ProxyAutoconfig", s.ProxyAutoconfig, 45);
    send(fd, "\n");
    row_begin(fd, "Parent Proxy Host:");
    input_text(fd, "ParentProxy", s.ParentProxy, 25);
    send(fd, "\nPort: ");
    input_number(fd, "ParentProxyPort", s.ParentProxyPort, 8);
    send(fd, "\n");
    row_begin(fd, "Parent Proxy Username: ");
    input_text(fd, "ParentProxyUsername", s.ParentProxyUsername, 15);
    send(fd, "\nPassword: ");
    input_password(fd, "ParentProxyPassword", s.ParentProxyPassword, 15);
    send(fd, "\n");
    row_begin(fd, "Run as service");
    input_checkbox(fd, "RunAsService", s.RunAsService);
    send(fd, "\n");
    row_begin(fd, "Enable background");
    input_checkbox(fd, "EnableBackground", s.UseBackground);
    send(fd, "(for web interface)\n");
    row_begin(fd, "Refresh Status Page");
    input_number(fd, "RefreshStatusPage", s.RefreshStatusPage, 8);
    send(fd, "(seconds)\n");
    table_end(fd);
    page_foot(r);
    return 1;
}

}  // namespace kv::admin
