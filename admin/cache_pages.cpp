// The cache pages: cached host directories, the objects of one directory, and
// the two delete actions. Directory and object names are taken from the path
// as sent (no %XX decoding); the cache checks them before touching a file.
#include <cstring>

#include "admin/admin_pages.h"
#include "cache/disk_cache.h"
#include "net/dates.h"
#include "net/page_writer.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"

namespace kv::admin {
namespace {

constexpr const char* kContentPrefix = "/admin/content/";
constexpr const char* kDeleteDomainPrefix = "/admin/delete/domain/";
constexpr const char* kDeleteFilePrefix = "/admin/delete/file/";
constexpr std::size_t kDirectoryNameSize = 512;
constexpr std::size_t kObjectNameSize = 1024;  // a directory and a file name, with room to spare

// The text after a route's prefix; empty when the path is shorter.
const char* after_prefix(const char* path, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return std::strlen(path) >= n ? path + n : "";
}

}  // namespace

int cache_domains_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "content");
    out.add(kPageHead);
    send_body_line(out);
    out.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Cache content - DNS names</FONT></b></center><hr><pre>\n");
    // The cache writes its listing straight to the socket, after the heading.
    (void)out.flush();
    cache::domain_list(out.fd());
    return 1;
}

int cache_objects_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add("HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n<PRE>");
    send_body_line(out);
    out.add("<H2>Cache content - Objects</H2>\n");
    const std::tm now = platform::local_now();
    out.addf("Current time : <B>%02d/%s/%04d %02d:%02d:%02d</B>\n\n", now.tm_mday, net::month_name(now.tm_mon + 1),
             now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec);
    // The cache writes its listing straight to the socket, between our parts.
    (void)out.flush();
    cache::content_list(out.fd(), after_prefix(r.path, kContentPrefix));
    out.add("</body>\n");
    return 1;
}

int delete_domain(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "content");
    out.add("HTTP/1.0 302 Object Moved\r\n");
    out.add("Location: /admin/content\r\n\r\n");
    // The browser has its answer before a large directory is emptied.
    (void)out.flush();
    (void)cache::delete_host(after_prefix(r.path, kDeleteDomainPrefix));
    return 1;
}

int delete_object(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    // Browsers send the backslash of the page's delete link as a slash: one
    // slash and no backslash is read as "directory\file". The cache still
    // checks both names. A name too long to hold names no object.
    char object[kObjectNameSize];
    if (platform::copy_bounded(object, after_prefix(r.path, kDeleteFilePrefix))) object[0] = '\0';
    char* slash = std::strchr(object, '/');
    if (slash && !std::strchr(object, '\\') && !std::strchr(slash + 1, '/')) *slash = '\\';
    (void)cache::delete_object_file(object);
    out.add("HTTP/1.0 302 Object Moved\r\n");
    const char* backslash = std::strchr(object, '\\');
    if (!backslash) {
        out.add("Location: /admin/content\r\n\r\n");
        return 1;
    }
    // The directory goes back into a header line: a stray CR or LF from the
    // request line must not end it early.
    char directory[kDirectoryNameSize];
    std::size_t n = 0;
    for (const char* c = object; c < backslash && n + 1 < sizeof directory; ++c)
        if (*c != '\r' && *c != '\n') directory[n++] = *c;
    directory[n] = '\0';
    // Added in three pieces so that a long name never cuts the header's end.
    out.add("Location: /admin/content/");
    out.add(directory);
    out.add("\r\n\r\n");
    return 1;
}

}  // namespace kv::admin
