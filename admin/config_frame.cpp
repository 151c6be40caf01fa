// The frame shared by the configuration form pages: the section tables that
// tie each page to its form marker, the standard page head and foot, the input
// templates and the items remembered between a page and its apply.
#include <string>
#include <cstring>

#include "admin/config_pages.h"
#include "net/line_io.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

// Entities can make a value up to six times longer ("&quot;").
constexpr std::size_t kEntityGrowth = 6;

void send(int fd, const std::string& text) { (void)net::send_text(fd, text.c_str()); }

std::string quoted_input(const char* name, const char* type, const std::string& value, int size) {
    return std::string("<INPUT NAME=\"") + name + "\" TYPE=\"" + type + "\" VALUE=\"" + value +
           "\" SIZE=" + std::to_string(size) + ">";
}

}  // namespace

std::string escaped(const char* text) {
    if (!text) text = "";
    std::string out(kEntityGrowth * std::strlen(text) + 1, '\0');
    net::html_escape_attribute(text, out.data(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

const SectionEntry kMailSections[] = {
    {"__MAIL_TYPE__", "Mail", "mail"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kMailGatewaySections[] = {
    {"__MAIL_GATEWAY__", "Mail Gateway", "mail/gateway"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kMailServerSections[] = {
    {"__MAIL_SERVER__", "General", "mail/server"},
    {"__MAILPOP3__", "POP3 downloads", "mail/pop3"},
    {"__RULES__", "Sorting rules", "mail/rules"},
    {"__ASPAM__", "SMTP Relay restrictions", "mail/aspam"},
    {"__MAIL_ADVANCED__", "Advanced", "mail/advanced"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kDialSections[] = {
    {"__DIAL__", "General", "dial"},
    {"__DD__", "Demand Dial", "dd"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kProxySections[] = {
    {"__PROXY__", "General", "proxy"},
    {"__CACHE__", "Cache", "cache"},
    {"__CTTL__", "Cache TTL", "cttl"},
    {"__ACCESS__", "Access", "access"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kNetworkSections[] = {
    {"__NETWORK__", "General", "network"},
    {"__MAPL__", "Mapped links", "maplink"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kAccountsSections[] = {
    {"__ACCOUNTS__", "Users", "users"},
    {"__ACCOUNTS__", "Groups", "groups"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kSecuritySections[] = {
    {"__SECURITY__", "Security", "security"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kAdvancedSections[] = {
    {"__ADVANCED__", "Advanced", "advanced"},
    {nullptr, nullptr, nullptr},
};

void page_head(AdminRequest& r, const SectionEntry* table, int index, const char* message) {
    const SectionEntry& entry = table[index];
    platform::copy_bounded(state().last_config_page, entry.page);
    const int fd = r.conn.client.get();
    std::string out = kPageHead;
    out += std::string("<HEAD>\n<TITLE>\n") + entry.title + "\n</TITLE>\n</HEAD>\n\n";
    out += std::string("<BODY ") + state().body_attribute + " link=\"#0044FF\" vlink=\"#0044FF\">\n\n";
    out += "<FONT SIZE=-1>\n\n<B>\n";
    for (int i = 0; table[i].marker; ++i) {
        if (i == index)
            out += std::string("[") + table[i].title + "]&nbsp;&nbsp;\n";
        else
            out += std::string("<a href=\"/admin/config/content/") + table[i].page + "\">[" + table[i].title +
                   "]</a>&nbsp;&nbsp;\n";
    }
    out += "</B>\n\n<HR>\n\n";
    if (message) out += std::string(message) + "\n\n<HR>\n\n";
    out += "<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n\n";
    out += std::string("<INPUT TYPE=\"HIDDEN\" NAME=\"") + entry.marker + "\">\n\n";
    out += "<!-- PAGE DATA BEGIN -->\n\n";
    send(fd, out);
}

void page_foot(AdminRequest& r) {
    const int fd = r.conn.client.get();
    std::string out = "\n\n<!-- PAGE DATA END -->\n\n";
    out += "<HR><P>\n\n<CENTER>\n";
    out += "<INPUT NAME=\"Save\" TYPE=\"SUBMIT\" VALUE=\"   Save  \">\n";
    out += "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp";
    out += "<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" VALUE=\" Cancel \">\n";
    out += "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp";
    out += std::string("<a href=\"/admin/config/content/help#") + state().last_config_page + "\"> <b>Help</b> </a>";
    out += "\n</CENTER>\n\n";
    out += "</FORM>\n\n</BODY>\n";
    send(fd, out);
}

void input_number(int fd, const char* name, int value, int size) {
    send(fd, quoted_input(name, "text", std::to_string(value), size));
}

void input_text(int fd, const char* name, const char* value, int size) {
    send(fd, quoted_input(name, "text", escaped(value), size));
}

void input_password(int fd, const char* name, const char* value, int size) {
    send(fd, quoted_input(name, "password", escaped(value), size));
}

void input_checkbox(int fd, const char* name, int on) {
    send(fd, std::string("<INPUT NAME=\"") + name + "\" TYPE=\"checkbox\" " + (on ? "checked" : "") + ">");
}

void input_radio(int fd, const char* name, int choice, int current) {
    send(fd, std::string("<INPUT NAME=\"") + name + "\" TYPE=\"radio\" VALUE=\"" + std::to_string(choice) + "\" " +
                 (choice == current ? "checked" : "") + ">");
}

void input_button(int fd, const char* name, const char* caption) {
    send(fd, std::string("<INPUT TYPE=\"submit\" NAME=\"") + name + "\" VALUE=\"" + caption + "\">");
}

void row_begin(int fd, const char* label) {
    send(fd, std::string("<TR><TD ALIGN=right><FONT SIZE=-1>") + label + "<TD><FONT SIZE=-1>");
}

void table_begin(int fd) { (void)net::send_text(fd, "<TABLE BORDER=0>\n\n"); }

void table_end(int fd) { (void)net::send_text(fd, "\n</TABLE>\n\n"); }

RememberedItems& remembered() {
    static RememberedItems items;
    return items;
}

}  // namespace kv::admin
