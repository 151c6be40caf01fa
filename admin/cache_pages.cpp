// The cache pages: cached host directories, the objects of one directory, and
// the two delete actions. Directory and object names are taken from the path
// as sent (no %XX decoding); the cache checks them before touching a file.
#include <cstring>

#include "admin/admin_pages.h"
#include "cache/disk_cache.h"
#include "net/line_io.h"
#include "net/text_utils.h"
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
    const int fd = r.conn.client.get();
    platform::copy_bounded(state().last_admin_page, "content");
    (void)net::send_text(fd, kPageHead);
    (void)send_body_line(r);
    (void)net::send_text(
        fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Cache content - DNS names</FONT></b></center><hr><pre>\n");
    cache::domain_list(fd);
    return 1;
}

int cache_objects_page(AdminRequest& r) {
    const int fd = r.conn.client.get();
    (void)net::send_text(fd, "HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n<PRE>");
    (void)send_body_line(r);
    (void)net::send_text(fd, "<H2>Cache content - Objects</H2>\n");
    const std::tm now = platform::local_now();
    (void)net::send_formatted(fd, "Current time : <B>%02d/%s/%04d %02d:%02d:%02d</B>\n\n", now.tm_mday,
                              net::month_name(now.tm_mon + 1), now.tm_year + 1900, now.tm_hour, now.tm_min,
                              now.tm_sec);
    cache::content_list(fd, after_prefix(r.path, kContentPrefix));
    (void)net::send_text(fd, "</body>\n");
    return 1;
}

int delete_domain(AdminRequest& r) {
    const int fd = r.conn.client.get();
    platform::copy_bounded(state().last_admin_page, "content");
    (void)net::send_text(fd, "HTTP/1.0 302 Object Moved\r\n");
    (void)net::send_text(fd, "Location: /admin/content\r\n\r\n");
    (void)cache::delete_host(after_prefix(r.path, kDeleteDomainPrefix));
    return 1;
}

int delete_object(AdminRequest& r) {
    const int fd = r.conn.client.get();
    // Browsers send the backslash of the page's delete link as a slash: one
    // slash and no backslash is read as "directory\file". The cache still
    // checks both names. A name too long to hold names no object.
    char object[kObjectNameSize];
    if (platform::copy_bounded(object, after_prefix(r.path, kDeleteFilePrefix))) object[0] = '\0';
    char* slash = std::strchr(object, '/');
    if (slash && !std::strchr(object, '\\') && !std::strchr(slash + 1, '/')) *slash = '\\';
    (void)cache::delete_object_file(object);
    (void)net::send_text(fd, "HTTP/1.0 302 Object Moved\r\n");
    const char* backslash = std::strchr(object, '\\');
    if (!backslash) {
        (void)net::send_text(fd, "Location: /admin/content\r\n\r\n");
        return 1;
    }
    // The directory goes back into a header line: a stray CR or LF from the
    // request line must not end it early.
    char directory[kDirectoryNameSize];
    std::size_t n = 0;
    for (const char* c = object; c < backslash && n + 1 < sizeof directory; ++c)
        if (*c != '\r' && *c != '\n') directory[n++] = *c;
    directory[n] = '\0';
    // Sent in three pieces so that a long name never cuts the header's end.
    (void)net::send_text(fd, "Location: /admin/content/");
    (void)net::send_text(fd, directory);
    (void)net::send_text(fd, "\r\n\r\n");
    return 1;
}

}  // namespace kv::admin
