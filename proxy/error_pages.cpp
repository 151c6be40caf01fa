#include "proxy/error_pages.h"

#include "net/banners.h"
#include "net/page_writer.h"
#include "net/url_ports.h"

namespace kv::proxy {
namespace {

constexpr char k504Head[] = "HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n";
constexpr char k403Head[] =
    "HTTP/1.0 403 Forbidden\r\nPragma: no-cache\r\nContent-Type: text/html\r\n\r\n"
    "<body><H2> <font color=\"ee0000\">Forbidden </font></H2><HR>";
constexpr char k407[] =
    "HTTP/1.0 407 Unauthorized\r\nProxy-Authenticate: Basic realm=\"Korvanet\"\r\n"
    "Content-Type: text/html\r\n\r\n";
constexpr char k401[] =
    "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Korvanet\"\r\n"
    "Content-Type: text/html\r\n\r\n";
constexpr char kNoSocketPage[] =
    "HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\n\r\n"
    "<H1><font COLOR=\"#FF0000\">Error :</font></H1><P>Korvanet can't create socket :<BR>"
    "no more file descriptors or buffer space available.<BR> Try again later.";
constexpr char kErrorHeading[] = "<H2><font COLOR=\"#FF0000\">Error :</font></H2><P>";

}  // namespace

void send_parse_error_page(int fd, const char* raw_head) {
    net::PageWriter out(fd);
    out.add(k504Head);
    out.add("<H4><font COLOR=\"#FF0000\">Error parsing http request : </font></H2><p><pre>");
    out.add(raw_head);
    out.add("</pre>");
}

void send_refusal(int fd, const config::AuthOutcome& why, const char* scheme, const char* host, const char* path) {
    net::PageWriter out(fd);
    switch (why.refusal) {
        case config::Refusal::kNone:
        case config::Refusal::kMalformed: return;
        case config::Refusal::kSiteForbidden:
            out.add(k403Head);
            out.add("You are not allowed to access this site.<br><B>");
            return;
        case config::Refusal::kNotAllowed:
            // Request texts are shown in the requested site's origin: no
            // markup from a crafted link may pass.
            out.add(k403Head);
            out.add("You (user <font color=\"#0000ee\"><b>");
            out.add_tags_escaped(why.user.c_str());
            out.add("</b></font>) are not allowed to access<br><B>");
            out.add_tags_escaped(scheme);
            out.add("://");
            out.add_tags_escaped(host);
            out.add_tags_escaped(path);
            out.add("</B><br>due to Korvanet access configuration rule.<p>The reason : <br> ");
            out.add(why.reason);
            return;
        case config::Refusal::kAskCredentials: out.add(why.proxy_request ? k407 : k401); return;
    }
}

void send_refresh_redirect(int fd, const char* scheme, const char* host, std::uint16_t port, const char* path) {
    net::PageWriter out(fd);
    out.add("HTTP/1.0 301 Moved Permanently\r\nContent-Type: text/html\r\nLocation: ");
    out.add(scheme);
    out.add("://");
    out.add(host);
    if (!net::port_left_out(port)) out.addf(":%u", static_cast<unsigned>(port));
    out.add(path);
    out.add("\r\n\r\n");
}

void send_not_modified(int fd) {
    net::PageWriter out(fd);
    out.add("HTTP/1.0 304 Not Modified\r\n\r\n");
}

void send_no_dns_entry_page(int fd, const char* host) {
    net::PageWriter out(fd);
    out.add(k504Head);
    out.add(kErrorHeading);
    out.add(" Host <B> ");
    out.add(host);
    out.add(" </B> doesn't have DNS entry!");
    net::add_error_detected_by(out);
}

void send_dial_failed_page(int fd, const char* status_text, bool with_footer) {
    net::PageWriter out(fd);
    out.add(k504Head);
    out.add("<H2>Error :</H2><HR>RAS reports : ");
    out.add(status_text);
    if (with_footer) net::add_error_detected_by(out);
}

void send_no_socket_page(int fd) {
    net::PageWriter out(fd);
    out.add(kNoSocketPage);
}

void send_connect_failed_page(int fd, const char* host, std::uint16_t port, const char* reason) {
    net::PageWriter out(fd);
    out.add(k504Head);
    out.add(kErrorHeading);
    out.add(" Can't connect to host <B>");
    out.add(host);
    out.addf("</B> on port <B>%hu</B>!<HR>", port);
    if (reason) {
        out.add("<B>Reason </B>: ");
        out.add(reason);
    }
    net::add_error_detected_by(out);
}

}  // namespace kv::proxy
