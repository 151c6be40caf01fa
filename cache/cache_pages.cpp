#include "cache/cache_pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "cache/cache_tree.h"
#include "net/dates.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"
#include "platform/socket.h"

namespace kv::cache {
namespace {

constexpr std::size_t kContentHeadRead = 500;  // header bytes read per object for its row
// The delete link carries the file name escaped into this many bytes; longer
// escaped names are cut before an entity.
constexpr std::size_t kEscapedFileNameSize = kPathSize;

void content_row(net::PageWriter& out, int host_fd, const char* directory, const char* file) {
    const int fd = ::openat(host_fd, file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    platform::File owner(fd);
    unsigned char head[kContentHeadRead + 1];
    const ssize_t n = ::pread(fd, head, kContentHeadRead, 0);
    struct stat st {};
    ObjectHeader h{};
    if (n <= 0 || ::fstat(fd, &st) != 0 || !decode_header(head, static_cast<std::size_t>(n), &h)) return;
    std::tm when{};
    const auto expiry = static_cast<std::time_t>(h.expiry);
    if (!::gmtime_r(&expiry, &when)) return;
    char escaped_file[kEscapedFileNameSize];
    net::html_escape_attribute(file, escaped_file, sizeof escaped_file);
    out.addf("%02d/%s/%04d %7d %3d  ", when.tm_mday, net::month_name(when.tm_mon + 1), when.tm_year + 1900,
             static_cast<int>(st.st_size), static_cast<int>(h.hits));
    out.add("<a href=\"/admin/delete/file/");
    out.add_escaped(directory);
    out.add("\\");
    out.add(escaped_file);
    out.add("\"><img src=\"/admin/images/cross.gif\" border=0></a>");
    out.add("<a href=\"");
    out.add_escaped(h.url);
    out.add("\">");
    out.add_escaped(h.url);
    out.add("</a>\n");
}

}  // namespace

void write_not_started(int fd) {
    net::PageWriter out(fd);
    out.add("Cache is not started.");
}

void write_domain_list(int fd, const char* cache_dir) {
    std::vector<std::string> hosts;
    (void)list_entries(cache_dir, ".dns", true, hosts);
    net::PageWriter out(fd);
    for (const std::string& name : hosts) {
        const std::string host(name, 0, name.size() - 4);
        out.add("<a href=\"/admin/delete/domain/");
        out.add_escaped(name.c_str());
        out.add("\"><img src=\"/admin/images/cross.gif\" border=0></a>");
        out.add("<a href=\"/admin/content/");
        out.add_escaped(name.c_str());
        out.add("\">");
        out.add_escaped(host.c_str());
        out.add("</a>\n");
    }
}

void write_content_list(int fd, const char* cache_dir, const char* directory) {
    net::PageWriter out(fd);
    out.add("Expire        size accessed    object<HR>");
    if (!directory_name_allowed(directory)) return;
    char path[kPathSize];
    if (platform::format_bounded(path, sizeof path, "%s/%s", cache_dir, directory)) return;
    std::vector<std::string> files;
    if (!list_entries(path, ".cch", false, files)) return;
    const int host_fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (host_fd < 0) return;
    platform::File owner(host_fd);
    for (const std::string& file : files) content_row(out, host_fd, directory, file.c_str());
}

void write_statistics_table(int fd, const StatisticsView& v) {
    const auto* t = v.totals.v;
    net::PageWriter out(fd);
    out.add("<TABLE BORDER=2>");
    out.add("<TR><TD COLSPAN=6 ALIGN=CENTER><FONT SIZE=+1><B>Cache</B></FONT></TD></TR>");
    out.addf("<TR ALIGN=CENTER> <TD> Type <TD> Objects <BR> &nbsp; <TD> Objects <BR> [%%] <TD> Size <br>[Bytes] "
             "<TD> Size <br>[%%] <TD> Average<BR>[Bytes/Object] ");
    static const char* const kRows[3] = {
        "<TR ALIGN=RIGHT> <TD ALIGN=CENTER> http <TD> %d <TD> %.1f <TD> %d <TD> %.1f <TD> %d",
        "<TR ALIGN=RIGHT> <TD ALIGN=CENTER> ftp  <TD> %d <TD> %.1f <TD> %d <TD> %.1f <TD> %d",
        "<TR ALIGN=RIGHT> <TD ALIGN=CENTER> gopher <TD> %d <TD> %.1f <TD> %d <TD> %.1f <TD> %d"};
    const double total_objects = t[kTotalObjects];
    const double total_bytes = t[kTotalBytes];
    for (int kind = 0; kind < 3; ++kind) {
        const int objects = t[kHttpObjects + kind];
        const int bytes = t[kHttpBytes + kind];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        // Shares in floating point: bytes * 100 would overflow an int above 21 MB.
        out.addf(kRows[kind], objects, objects * 100.0 / (total_objects + 0.0001), bytes,
                 bytes * 100.0 / (total_bytes + 0.0001), static_cast<int>(bytes / (objects + 0.0001)));
#pragma GCC diagnostic pop
    }
    out.addf("<TR ALIGN=RIGHT>  <TH ALIGN=CENTER> Total <TH> %d <TH> %.1f <TH> %d <TH> %.1f <TH> %d",
             t[kTotalObjects], 100.0, t[kTotalBytes], 100.0, static_cast<int>(total_bytes / (total_objects + 0.0001)));
    const double capacity = (v.cache_size + 0.000001) * 1048576;
    out.addf("<TR ALIGN=center> <TD COLSPAN=6> Cache Size %d MB  : <B>%.1f</B> %% free, <B>%.1f</B> %% used",
             v.cache_size, (1 - total_bytes / capacity) * 100, total_bytes / capacity * 100);
    const double answered = static_cast<double>(v.hit) + v.miss + 0.0001;
    out.addf("<TR ALIGN=center> <TD COLSPAN=6> Hit / Miss Ratio : <B>%d</B> (%.1f %%) / <B>%d</B> (%.1f %%)",
             static_cast<int>(v.hit), v.hit * 100.0 / answered, static_cast<int>(v.miss), v.miss * 100.0 / answered);
    out.addf("<TR ALIGN=center> <TD COLSPAN=6> Garbage : Count : <B>%d</B>, last took <B>%d</B> min.",
             static_cast<int>(v.garbage_count), static_cast<int>(v.last_garbage_min));
    out.add("</TABLE><P>");
}

}  // namespace kv::cache
