// The status page (running connections, cache statistics, dial-up state) and
// the kill action behind its cross links.
#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include "admin/admin_pages.h"
#include "cache/disk_cache.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "conn/task_table.h"
#include "mail/mail_schedule.h"
#include "net/banners.h"
#include "net/dates.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"

namespace kv::admin {
namespace {

constexpr unsigned kKillWaitMs = 500;
// A row goes out cut at 299 characters, so longer texts never show.
constexpr std::size_t kShownTextSize = 300;
constexpr std::size_t kEscapedTextSize = 6 * kShownTextSize;  // "&quot;" per character at worst

// Copies a text the owning connection keeps in its request buffer. The owner
// may rewrite the buffer meanwhile, so the copy never runs past its end, even
// without a terminator; a pointer outside the buffer names a constant text.
void copy_record_text(const conn::ProxyFields& p, const char* text, char* out, std::size_t size) {
    out[0] = '\0';
    if (!text) return;
    const char* begin = p.request;
    const char* end = p.request + sizeof p.request;
    if (text >= begin && text < end) {
        std::size_t n = 0;
        while (text + n < end && text[n] && n + 1 < size) ++n;
        std::memcpy(out, text, n);
        out[n] = '\0';
    } else {
        platform::copy_bounded(out, text, size);
    }
}

// What one row shows, copied under the slot's lock.
struct RowCopy {
    int serial{};
    char service[conn::kServiceNameSize]{};
    std::uint32_t start_tick{};
    bool have_record{};
    char name[kShownTextSize]{};
    std::uint16_t client_port{};
    int parsed{};
    std::uint32_t kind{};
    std::uint16_t dest_port{};
    char scheme[16]{};
    char host[kShownTextSize]{};
    char path[kShownTextSize]{};
    long long bytes_sent{};
    long long expected_size{};
    char destination[kShownTextSize]{};
    std::uint16_t gateway_port{};
    std::uint8_t socks_command{};
};

// Whether a slot is in use is read again under the lock: the owner frees the
// record under the same lock, so what is copied belongs to one connection.
bool copy_row(int index, RowCopy& row) {
    conn::TaskSlot& s = conn::slot(index);
    if (!s.in_use.load()) return false;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.in_use.load()) return false;
    row.serial = s.serial.load();
    platform::copy_bounded(row.service, s.service_name);
    row.start_tick = s.start_tick;
    const conn::ConnectionRecord* rec = s.record;
    if (!rec) return true;
    row.have_record = true;
    platform::copy_bounded(row.name, conn::display_name(*rec));
    row.client_port = rec->client_port;
    const conn::ProxyFields& p = rec->proxy;
    row.parsed = p.parsed;
    if (row.parsed) {
        row.kind = p.kind;
        row.dest_port = p.dest_port;
        copy_record_text(p, p.scheme, row.scheme, sizeof row.scheme);
        copy_record_text(p, p.host, row.host, sizeof row.host);
        copy_record_text(p, p.path, row.path, sizeof row.path);
        row.bytes_sent = p.bytes_sent;
        row.expected_size = p.expected_size;
    }
    std::memcpy(row.destination, rec->gateway.destination,
                std::min(sizeof row.destination, sizeof rec->gateway.destination));
    row.destination[sizeof row.destination - 1] = '\0';
    row.gateway_port = rec->gateway.dest_port;
    row.socks_command = rec->socks.command;
    return true;
}

bool is_gateway_service(const char* name) {
    static constexpr const char* kGateways[] = {"POP3 GW", "SMTP GW", "SMTP FW", "NEWS GW",
                                                "TELNET GW", "FTP GW", "REALAUDIO GW"};
    for (const char* g : kGateways)
        if (std::strcmp(name, g) == 0) return true;
    return false;
}

std::uint16_t default_port(std::uint32_t kind) {
    switch (kind) {
        case conn::kKindHttp: return 80;
        case conn::kKindFtp: return 21;
        case conn::kKindGopher: return 70;
        case conn::kKindHttps: return 443;
        default: return 0;
    }
}

void add_proxy_cells(net::PageWriter& out, const RowCopy& row, const char* name) {
    if (!row.parsed) return;
    char scheme[6 * sizeof row.scheme];
    char host[kEscapedTextSize];
    char path[kEscapedTextSize];
    net::html_escape_attribute(row.scheme, scheme, sizeof scheme);
    net::html_escape_attribute(row.host, host, sizeof host);
    net::html_escape_attribute(row.path, path, sizeof path);
    const std::uint16_t standard = default_port(row.kind);
    if (row.dest_port == 0 || standard == 0 || row.dest_port == standard) {
        out.addf("<TD> %s <TD> <A HREF=\"%s://%s%s\">%s://%s%s</A>", name, scheme, host, path, scheme, host, path);
    } else {
        const int port = row.dest_port;
        out.addf("<TD> %s <TD> <A HREF=\"%s://%s:%d%s\">%s://%s:%d%s</A>", name, scheme, host, port, path, scheme,
                 host, port, path);
    }
    if (row.expected_size != 0)
        out.addf("&nbsp;<font size=-1>(%lld/%lld)</font>\n", row.bytes_sent, row.expected_size);
    else
        out.addf("&nbsp;<font size=-1>(%lld/?)</font>\n", row.bytes_sent);
}

// A SOCKS connection shows its destination once its request was read (the
// port is set last); a command it does not know adds nothing.
void add_socks_cells(net::PageWriter& out, const RowCopy& row, const char* name) {
    if (row.gateway_port == 0) {
        out.addf("<TD> %s <TD>", name);
        return;
    }
    out.addf("<TD> %s <TD> ", name);
    static constexpr const char* kLabels[] = {"connect&nbsp;", "bind&nbsp;", "udp&nbsp;assoc&nbsp;"};
    if (row.socks_command < 1 || row.socks_command > 3) return;
    char destination[kEscapedTextSize];
    net::html_escape_attribute(row.destination, destination, sizeof destination);
    out.addf("%s%s:%d", kLabels[row.socks_command - 1], destination, row.gateway_port);
}

// The cells after the age: who is connected, and to where.
void add_peer_cells(net::PageWriter& out, const RowCopy& row) {
    char name[kEscapedTextSize];
    net::html_escape_attribute(row.name, name, sizeof name);
    if (std::strcmp(row.service, "PROXY") == 0) {
        add_proxy_cells(out, row, name);
    } else if (is_gateway_service(row.service)) {
        char destination[kEscapedTextSize];
        net::html_escape_attribute(row.destination, destination, sizeof destination);
        out.addf("<TD> %s <TD> %s", name, destination);
    } else if (std::strcmp(row.service, "MAPPED LINK") == 0) {
        char destination[kEscapedTextSize];
        net::html_escape_attribute(row.destination, destination, sizeof destination);
        out.addf("<TD> %s:%d <TD> %s:%d", name, row.client_port, destination, row.gateway_port);
    } else if (std::strcmp(row.service, "SOCKS") == 0) {
        add_socks_cells(out, row, name);
    } else if (std::strcmp(row.service, "POP3") == 0 || std::strcmp(row.service, "SMTP") == 0) {
        out.addf("<TD> %s ", name);
    } else if (std::strcmp(row.service, "MAIL TRANSFER") == 0) {
        out.add("<TD> Korvanet <TD> ");
    }
}

void add_row(net::PageWriter& out, const RowCopy& row) {
    char service[6 * sizeof row.service];
    net::html_escape_attribute(row.service, service, sizeof service);
    const unsigned long age = (platform::tick_ms() - row.start_tick) / 1000u;
    out.addf("<TR ALIGN=LEFT> <TD NOWRAP><A HREF=\"/admin/kill/%d\"> <IMG "
             "SRC=\"/admin/images/cross.gif\" border=0></a>&nbsp;<font size=-1>%s</font><TD> %lu ",
             row.serial, service, age);
    if (row.have_record) add_peer_cells(out, row);
}

void add_connections_table(net::PageWriter& out) {
    out.add("<P><TABLE BORDER=2>");
    out.add("<TR><TD COLSPAN=4 ALIGN=CENTER><FONT SIZE=+1><B>Connections</B></FONT>");
    out.add("<TR ALIGN=CENTER> <TH>Type <TH>Sec.<TH> From <TH>Destination");
    // Each row is copied under its slot's lock and sent after: a slow browser
    // must never hold up a connection thread that frees its slot.
    for (int i = 0; i < conn::kTaskSlots; ++i) {
        RowCopy row;
        if (copy_row(i, row)) add_row(out, row);
    }
    out.addf("<TR ALIGN=CENTER> <TD COLSPAN=4> Total Connections : <B>%d</B> ", conn::active_connections());
    out.add("</TABLE><P>");
}

void add_dial_rows(net::PageWriter& out) {
    const int dial_state = dial::state();
    if (dial_state == 0) {
        out.add("<TR ALIGN=CENTER> <TD> Dial-Up <TD> not connected ");
        return;
    }
    if (dial_state == 1) {
        out.add("<TR ALIGN=CENTER> <TD> Dial-Up <TD> connecting ");
        return;
    }
    out.add("<TR ALIGN=CENTER> <TD> Dial-Up <TD> connected ");
    char address[kEscapedTextSize];
    net::html_escape_attribute(dial::link_address_text(), address, sizeof address);
    out.addf("<TR ALIGN=CENTER> <TD> RAS IP address <TD> %s ", address);
    if (dial::keep_up())
        out.add("<TR ALIGN=CENTER> <TD> Time to hang up <TD>Korvanet will not hangup");
    else if (mail::transfer_in_progress())
        out.add("<TR ALIGN=CENTER> <TD> Time to hang up <TD>After the mail transfer");
    else
        out.addf("<TR ALIGN=CENTER> <TD> Time to hang up <TD> %d minutes.", dial::minutes_to_hangup());
}

void add_misc_table(net::PageWriter& out) {
    out.add("<TABLE BORDER=2><TR><TD COLSPAN=2 ALIGN=CENTER><FONT SIZE=+1><B>Misc</B></FONT></TD></TR>");
    add_dial_rows(out);
    const std::tm& t = state().start_time;
    out.addf("<TR ALIGN=CENTER> <TD> Start time <TD> %02d/%s/%04d %02d:%02d:%02d ", t.tm_mday,
             net::month_name(t.tm_mon + 1), t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    out.addf("<TR ALIGN=CENTER> <TD> Version <TD> %s", net::version_text());
    out.add("</TABLE></CENTER>");
}

}  // namespace

int status_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "status");
    out.add(kPageHead);
    const int refresh = config::live().RefreshStatusPage;
    if (refresh != 0) out.addf("<meta http-equiv=\"Refresh\" content=\"%d; URL=/admin/status\">\n", refresh);
    send_body_line(out);
    out.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Status</FONT></b><hr>\n");
    add_connections_table(out);
    // The cache writes its table straight to the socket, between our parts.
    (void)out.flush();
    cache::statistics_table(out.fd());
    add_misc_table(out);
    return 1;
}

int kill_connection(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 301 Moved Permanently\r\n");
    out.add("Location: /admin/status\r\n\r\n");
    // The answer leaves before the kill and its wait; the connection closes after them.
    (void)out.flush();

    // Only a serial of decimal digits names a connection; anything else kills nothing.
    static constexpr std::size_t kPrefixLength = sizeof "/admin/kill/" - 1;
    const char* text = std::strlen(r.path) >= kPrefixLength ? r.path + kPrefixLength : "";
    int serial = -1;
    const bool valid = platform::parse_decimal(text, 0, INT_MAX, &serial);
    // The kill waits itself once it found the connection; the wait keeps the
    // status page loaded next from still listing a dying connection.
    if (!valid || !conn::kill_by_serial(serial)) platform::sleep_ms(kKillWaitMs);
    return 1;
}

}  // namespace kv::admin
