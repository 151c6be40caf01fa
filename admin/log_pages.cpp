// The log pages: the frame set, its tab bar, the empty log window, the five
// log views (newest line first) and the clear actions.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "admin/admin_pages.h"
#include "log/logs.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"
#include "platform/socket.h"

namespace kv::admin {
namespace {

constexpr std::size_t kLogPathSize = 600;
// Every '<' or '>' of a line may grow to four characters.
constexpr std::size_t kEscapeGrowth = 4;
// The log is read backwards in windows of this size (or one piece, if larger).
constexpr std::size_t kWindowBytes = 64 * 1024;

struct LogView {
    const char* which;
    const char* file;
    const char* clear_form;
    std::size_t piece;
    bool mail_colours;      // "O" lines blue, the others red
    const char* page_end;   // null: none, also when the file is missing
};

constexpr LogView kViews[] = {
    {"access", "http-proxy.log",
     "<form action=\"/admin/clearlog\"><center><input type=\"submit\" name=\"button\" value=\" Clear \"></form>"
     "</center><PRE>",
     8192, false, "</body>"},
    {"error", "error.log",
     "<center><form action=\"/admin/clearerrorlog\"><input type=\"submit\" name=\"button\" value=\" Clear \">"
     "</form></center>",
     999, false, "</body>"},
    {"mail", "mail.log",
     "<center><form action=\"/admin/clearmaillog\"><input type=\"submit\" name=\"button\" value=\" Clear \">"
     "</form></center>",
     999, true, nullptr},
    {"dial", "dial.log",
     "<center><form action=\"/admin/cleardiallog\"><input type=\"submit\" name=\"button\" value=\" Clear \">"
     "</form></center>",
     999, false, nullptr},
    {"security", "security.log",
     "<center><form action=\"/admin/clearsecuritylog\"><input type=\"submit\" name=\"button\" value=\" Clear "
     "\"></form></center>",
     999, false, nullptr},
};

// One line of a log view. Log lines hold what clients sent (URLs, host names,
// user names), so their markup is always escaped.
void add_log_line(net::PageWriter& out, const LogView& v, const char* line, std::vector<char>& escaped) {
    net::html_escape(line, escaped.data(), escaped.size());
    if (v.mail_colours) {
        out.add(line[0] == 'O' ? "<font color=\"#0000aa\">" : "<font color=\"#cf0000\">");
        out.add(escaped.data());
        out.add("<br>\n");
        out.add("</font>");
        return;
    }
    out.add(escaped.data());
    out.add("<br>");
}

// Adds the lines of an open log from the last to the first; reads no further
// once the browser has gone. Each line is looked for in the piece of the log
// that ends where the newer line began (a line that does not fit in one piece
// ends the listing). The pieces are taken from a window read in one large
// read for many lines, not read one by one: a read per line made the system
// calls most of the page's cost. Every step moves the position back by at
// least one byte, so the loop ends.
void add_lines_backwards(net::PageWriter& out, int file, const LogView& v) {
    off_t position = ::lseek(file, 0, SEEK_END);
    if (position < 0) return;
    const std::size_t window_size = std::max(kWindowBytes, v.piece);
    std::vector<char> window(window_size);
    off_t window_start = position;  // the window holds [window_start, the first position)
    std::vector<char> line(v.piece + 1);
    std::vector<char> escaped(kEscapeGrowth * v.piece + 1);
    while (position > 0) {
        const std::size_t n =
            static_cast<off_t>(v.piece) < position ? v.piece : static_cast<std::size_t>(position);
        const off_t start = position - static_cast<off_t>(n);
        if (start < window_start) {
            const off_t first = position > static_cast<off_t>(window_size) ? position - static_cast<off_t>(window_size) : 0;
            const std::size_t length = static_cast<std::size_t>(position - first);
            // A log cleared while we read is shorter now: the listing ends there.
            if (::pread(file, window.data(), length, first) != static_cast<ssize_t>(length)) return;
            window_start = first;
        }
        const char* text = window.data() + (start - window_start);
        const char* lf = static_cast<const char*>(::memrchr(text, '\n', n));
        std::size_t from = 0;
        const std::size_t to = n;
        if (lf) {
            const std::size_t at = static_cast<std::size_t>(lf - text);
            from = at + 1;
            position = start + static_cast<off_t>(at > 0 && text[at - 1] == '\r' ? at - 1 : at);
        } else if (start == 0) {
            position = 0;
        } else {
            return;  // a line longer than the piece
        }
        // Shown as text: it ends at a NUL byte, and a CR left at its end by a
        // line end that straddled two pieces is not shown.
        std::memcpy(line.data(), text + from, to - from);
        line[to - from] = '\0';
        const std::size_t length = std::strlen(line.data());
        if (length > 0 && line[length - 1] == '\r') line[length - 1] = '\0';
        add_log_line(out, v, line.data(), escaped);
        if (!out.ok()) return;
    }
}

}  // namespace

int logs_frameset(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "logs");
    out.add(kPageHead);
    out.add("<HTML><TITLE>Korvanet Admin</TITLE><frameset rows=50,* framespacing=10 border=1><frame "
            "src=\"/admin/logs/index\" noresize scrolling=no><frame src=\"/admin/logs/nic\" noresize "
            "name=\"logwindow\"></frameset>");
    out.add("<noframe><center><b><FONT SIZE=+1 COLOR=#0000BB>Logs</FONT></b></center><hr>\n<ul>\n");
    out.add("<li><b><a href=\"/admin/logs/access\">Proxy</a></b>\n");
    out.add("<li><b><a href=\"/admin/logs/mail\">Mail</a></b>\n");
    out.add("<li><b><a href=\"/admin/logs/dial\">Dial</a></b>\n");
    out.add("<li><b><a href=\"/admin/logs/security\">Security</a></b>\n");
    out.add("<li><b><a href=\"/admin/logs/error\">Error</a>\n");
    out.add("</ul></body>\n");
    return 1;
}

int logs_tab_bar(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "logs");
    out.add(kPageHead);
    send_body_line(out);
    out.add("<center><table border=0><tr>\n");
    static constexpr const char* kTabs[][2] = {{"access", "Proxy"}, {"mail", "Mail"}, {"dial", "Dial"},
                                               {"security", "Security"}};
    for (const auto& tab : kTabs)
        out.addf("<td align=center width=70 bgcolor=\"ffffff\"><b><a href=\"/admin/logs/%s\" "
                 "target=logwindow>%s</a></b><td width=20><br>\n",
                 tab[0], tab[1]);
    out.add("<td align=center width=70 bgcolor=\"ffffff\"><b><a href=\"/admin/logs/error\" "
            "target=logwindow>Error</a></b>\n");
    out.add("<tr>");
    out.add("</table>");
    out.add("</body>");
    return 1;
}

int logs_empty_window(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "logs/nic");
    out.add(kPageHead);
    send_body_line(out);
    out.add("</body>");
    return 1;
}

int log_view(AdminRequest& r, const char* which) {
    const LogView* view = nullptr;
    for (const LogView& v : kViews)
        if (which && std::strcmp(which, v.which) == 0) view = &v;
    if (!view) return 1;

    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "logs");
    out.add(kPageHead);
    send_body_line(out);
    out.add(view->clear_form);

    char path[kLogPathSize];
    log::log_path(view->file, path, sizeof path);
    // Read-only and never locked: the logging threads go on appending (or
    // emptying the file) while the page reads.
    platform::File file(::open(path, O_RDONLY | O_CLOEXEC));
    if (file.valid()) add_lines_backwards(out, file.get(), *view);
    if (view->page_end) out.add(view->page_end);
    return 1;
}

int clear_logs(AdminRequest& r, const char* route) {
    struct Clear {
        const char* route;
        void (*clear)();
        const char* location;
    };
    // Longest routes first where one could begin another.
    static constexpr Clear kClears[] = {
        {"/admin/clearalllog", nullptr, "Location: /admin/logs/access\r\n\r\n"},
        {"/admin/clearlog", log::clear_access_log, "Location: /admin/logs/access\r\n\r\n"},
        {"/admin/clearmaillog", log::clear_mail_log, "Location: /admin/logs/mail\r\n\r\n"},
        {"/admin/clearsecuritylog", log::clear_security_log, "Location: /admin/logs/security\r\n\r\n"},
        {"/admin/clearerrorlog", log::clear_error_log, "Location: /admin/logs/error\r\n\r\n"},
        {"/admin/cleardiallog", log::clear_dial_log, "Location: /admin/logs/dial\r\n\r\n"},
    };
    net::PageWriter out(r.conn.client.get());
    for (const Clear& c : kClears) {
        if (!route || std::strncmp(route, c.route, std::strlen(c.route)) != 0) continue;
        if (c.clear) {
            c.clear();
        } else {
            log::clear_access_log();
            log::clear_error_log();
            log::clear_mail_log();
            log::clear_security_log();
            log::clear_dial_log();
        }
        out.add("HTTP/1.0 301 Moved Permanently\r\n");
        out.add(c.location);
        return 1;
    }
    return 1;
}

}  // namespace kv::admin
