// The admin server's own pages and answers. The texts are sent as browsers of
// the admin interface expect them, byte for byte.
#include "admin/admin_frames.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "admin/admin_router.h"
#include "admin/embedded_images.h"
#include "config/config_lists.h"
#include "config/settings.h"
#include "conn/task_table.h"
#include "net/banners.h"
#include "net/line_io.h"
#include "net/page_writer.h"
#include "platform/bounded_text.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

namespace kv::admin {
namespace {

// The end of /admin/dump: the thread and in-use flag of every task slot.
void task_list_dump(net::PageWriter& out) {
    out.add("\n================== Task List ============\n");
    for (int i = 0; i < conn::kTaskSlots; ++i) {
        const conn::TaskSlot& s = conn::slot(i);
        out.addf("thread %d, used %d\n", static_cast<int>(s.thread_id.load()), s.in_use.load());
    }
}

constexpr const char* kImagesPrefix = "/admin/images/";
constexpr const char* kBackgroundImage = "background.gif";  // a JPEG, whatever its name says
constexpr std::uint16_t kUdpDiagnosticPort = 1234;
constexpr std::size_t kAutoconfigPiece = net::kLineBufferSize;  // 8191 characters + NUL

constexpr const char* kFirstEntryOpen =
    "<p><table border=0><td align=center width=110 bgcolor=\"ffffff\"><b>";
constexpr const char* kEntryOpen = "<table border=0><td align=center width=110 bgcolor=\"ffffff\"><b>";

struct MenuEntry {
    const char* frameless_link;  // the frame set's entries, for browsers without frames
    const char* frame_link;      // the menu frame's entries, opening in CONTENT
    const char* closing;
};
const MenuEntry kMenu[] = {
    {"<a href=\"/admin/main\"> Main </a><br>\n",
     "<a href=\"/admin/main\" TARGET=\"CONTENT\"> Main </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/status\"> Status </a><br>\n",
     "<a href=\"/admin/status\" TARGET=\"CONTENT\"> Status </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/config\" TARGET=\"_top\"> Configuration</a> &gt;<br>\n",
     "<a href=\"/admin/config\" TARGET=\"_top\"> Configuration</a>&nbsp;&gt;<br>\n", "</b></table>"},
    {"<a href=\"/admin/content\"> Cache </a><br>\n",
     "<a href=\"/admin/content\" TARGET=\"CONTENT\"> Cache </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/manual\"> Manual </a><br>\n",
     "<a href=\"/admin/manual\" TARGET=\"CONTENT\"> Manual </a><br>\n", "</b></table>"},
    {"<a href=\"/admin/logs\"> Logs </a><br>\n",
     "<a href=\"/admin/logs\" TARGET=\"CONTENT\"> Logs </a><br>\n", "<b></table>"},
    {"<a href=\"/admin/user\">Current User</a><br>\n",
     "<a href=\"/admin/user\" TARGET=\"CONTENT\">Current User</a><br>\n", "<b></table>"},
};

void add_menu(net::PageWriter& out, bool in_frame) {
    bool first = true;
    for (const MenuEntry& e : kMenu) {
        out.add(first ? kFirstEntryOpen : kEntryOpen);
        out.add(in_frame ? e.frame_link : e.frameless_link);
        out.add(e.closing);
        first = false;
    }
}

}  // namespace

const EmbeddedImage* find_image(const char* name) {
    for (std::size_t i = 0; i < kEmbeddedImageCount; ++i)
        if (std::strcmp(kEmbeddedImages[i].name, name) == 0) return &kEmbeddedImages[i];
    return nullptr;
}

int main_frameset(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add(kPageHead);
    out.addf("<HTML><TITLE>Korvanet Admin</TITLE><frameset cols=\"155,*\"><frame "
             "src=\"/admin/index\" name=\"INDEX\"><frame src=\"/admin/%s\" "
             "name=\"CONTENT\"></frameset><NOFRAMES>",
             state().last_admin_page);
    out.addf("<body link=\"#0044FF\" vlink=\"#0044FF\" %s>\n", state().body_attribute);
    out.add("Korvanet<BR>Admin");
    out.add(net::product_heading());
    out.add("<br><b>Admin</b><p>\n");
    add_menu(out, false);
    out.add("</NOFRAMES></body></HTML>");
    out.add("<p> <b>Note : </b>The configuration forms are best viewed with browser that is "
            "capable of showing Framed documents.");
    return 1;
}

int menu_frame(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\n<HTML><HEAD><TITLE>Korvanet "
            "Admin</TITLE></HEAD>\n");
    out.addf("<body link=\"#0044FF\" vlink=\"#0044FF\" %s><center>\n", state().body_attribute);
    out.add(net::product_heading());
    out.add("<br><b>Admin</b><p>\n");
    add_menu(out, true);
    return 1;
}

int welcome_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add(kPageHead);
    send_body_line(out);
    out.add("<center><IMG SRC=\"/admin/images/logo.gif\"><P>\n");
    out.addf("<B>Version: %s</B><P>\n", net::version_text());
    out.add("Year 2000 compliant<P>\n");
    platform::copy_bounded(state().last_admin_page, "main");
    return 1;
}

int image_answer(AdminRequest& r) {
    const char* name = r.path + std::strlen(kImagesPrefix);
    const EmbeddedImage* image = find_image(name);
    if (!image) return send_not_found(r);
    net::PageWriter out(r.conn.client.get());
    // "Lenght" is how browsers of this interface have always seen it; they read to the close.
    const bool jpeg = std::strcmp(name, kBackgroundImage) == 0;
    out.addf(jpeg ? "HTTP/1.0 200 \r\nContent-Type: image/jpeg\r\nContent-Lenght: %d\r\n\r\n"
                  : "HTTP/1.0 200 \r\nContent-Type: image/gif\r\nContent-Lenght: %d\r\n\r\n",
             static_cast<int>(image->size));
    out.add(reinterpret_cast<const char*>(image->data), image->size);
    return 1;
}

int autoconfig_file(AdminRequest& r) {
    std::FILE* file = std::fopen(config::live().ProxyAutoconfig, "r");
    if (!file) return 1;
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 200 \r\nContent-Type: application/x-ns-proxy-autoconfig\r\n\r\n");
    char piece[kAutoconfigPiece];
    // Whole lines: a script cut at 299 characters would no longer run. The
    // file is read no further once the browser has gone.
    while (out.ok() && std::fgets(piece, sizeof piece, file)) out.add(piece);
    std::fclose(file);
    return 1;
}

int reauth_answer(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Korvanet\"\r\n"
            "Content-Type: text/html\r\n\r\n");
    return 1;
}

int settings_stream(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 200 \r\nContent-Type: application/octet-stream\r\nPragma: no-cache\r\n\r\n");
    // The settings are written straight to the socket: the head goes first.
    (void)out.flush();
    (void)config::export_settings(config::admin_copy(), out.fd());
    return 1;
}

int udp_diagnostic(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add(kPageHead);
    send_body_line(out);
    // Shows whether this process may open raw sockets at all.
    platform::set_last_socket_error(0);
    platform::Socket raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!raw.valid()) (void)platform::capture_socket_error();
    out.addf("%d\n<br>", platform::last_socket_error());
    if (raw.valid()) {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = kUdpDiagnosticPort;  // as stored, without byte-order conversion
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        (void)::bind(raw.get(), reinterpret_cast<sockaddr*>(&any), sizeof any);
    }
    return 1;
}

int test2_answer(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
            "realm=\"admin\"\r\n\r\n");
    return 1;
}

int lists_dump(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    const config::ConfigLists& lists = config::admin_copy().lists;
    out.add("HTTP/1.0 200 \r\nContent-Type: text/plain\r\nPragma: no-cache\r\n\r\n");
    // The lists write themselves straight to the socket, after the head.
    (void)out.flush();
    config::dump_pop3(lists, out.fd());
    config::dump_groups(lists, out.fd());
    config::dump_users(lists, out.fd());
    config::dump_access(lists, out.fd());
    task_list_dump(out);
    return 1;
}

}  // namespace kv::admin
