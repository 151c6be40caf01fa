#include "proxy/ftp_listing.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/bounded_text.h"
#include "proxy/file_types.h"

namespace kv::proxy {
namespace {

constexpr long long kLargestSize = 999999999999999999LL;  // 18 digits: no overflow
constexpr long long kKilo = 1024;
constexpr long long kMega = 1048576;
constexpr long long kGiga = 1073741824;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

char* skip_blanks(char* p) {
    while (is_blank(*p)) ++p;
    return p;
}

// The next blank-separated field, terminated in place; null when the line
// has no more. *p moves past the field and its terminator.
char* take_field(char** p) {
    char* start = skip_blanks(*p);
    if (!*start) return nullptr;
    char* end = start;
    while (*end && !is_blank(*end)) ++end;
    if (*end) *end++ = '\0';
    *p = end;
    return start;
}

// "%d-%d-%d" at the very start of the line, digits only.
bool begins_with_date(const char* line) {
    const char* p = line;
    for (int part = 0; part < 3; ++part) {
        if (!is_digit(*p)) return false;
        while (is_digit(*p)) ++p;
        if (part < 2 && *p++ != '-') return false;
    }
    return true;
}

ListingStyle style_of(const char* line) {
    if (begins_with_date(line)) return ListingStyle::kDos;
    if (line[0] && (line[1] == 'r' || line[1] == '-')) return ListingStyle::kUnix;
    return ListingStyle::kOther;
}

bool read_size(const char* text, long long* out) { return platform::parse_decimal(text, 0, kLargestSize, out) == 1; }

bool dot_name(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

int parse_dos(char* line, ListingEntry* e) {
    char* p = line;
    char* date = take_field(&p);
    char* time = take_field(&p);
    char* size = take_field(&p);
    if (!date || !time || !size) return 0;
    char* name = skip_blanks(p);
    if (!*name || dot_name(name)) return 0;
    e->date = date;
    e->time = time;
    e->month = e->day = "";
    e->name = name;
    e->target = nullptr;
    e->size = 0;
    if (std::strstr(size, "<DIR>")) {
        e->kind = EntryKind::kDirectory;
        return 1;
    }
    e->kind = EntryKind::kFile;
    return read_size(size, &e->size) ? 1 : 0;
}

// Unix: permissions, links, owner, group, size, month, day, time or year,
// name. The other style lacks one field before the size.
int parse_unix_like(char* line, bool other, ListingEntry* e) {
    char* p = line;
    const int before_size = other ? 3 : 4;
    char* fields[8] = {};
    const int count = other ? 7 : 8;
    for (int i = 0; i < count; ++i)
        if (!(fields[i] = take_field(&p))) return 0;
    char* name = skip_blanks(p);
    if (!*name) return 0;
    e->date = "";
    e->month = fields[before_size + 1];
    e->day = fields[before_size + 2];
    e->time = fields[before_size + 3];
    e->target = nullptr;
    e->size = 0;
    switch (fields[0][0]) {
        case 'd': e->kind = EntryKind::kDirectory; break;
        case 'l': e->kind = EntryKind::kLink; break;
        default: e->kind = EntryKind::kFile; break;
    }
    if (!read_size(fields[before_size], &e->size)) return 0;
    if (e->kind == EntryKind::kLink) {
        e->size = 0;
        if (char* arrow = std::strstr(name, " -> ")) {
            *arrow = '\0';
            e->target = arrow + 4;
        }
    }
    if (!*name || dot_name(name)) return 0;
    e->name = name;
    return 1;
}

// The current directory with a leading and a trailing '/'.
std::string directory_of(const char* current) {
    std::string dir = current && *current ? current : "/";
    if (dir[0] != '/') dir.insert(dir.begin(), '/');
    if (dir.back() != '/') dir += '/';
    return dir;
}

void drop_last_component(std::string& dir) {
    if (dir.size() <= 1) return;
    const std::size_t slash = dir.rfind('/', dir.size() - 2);
    dir.resize(slash == std::string::npos ? 1 : slash + 1);
}

bool href_special(unsigned char c) {
    return c < 0x20 || c == 0x7f || std::strchr("% ?+&\"#<>", static_cast<char>(c)) != nullptr;
}

std::string shown(const char* text) {
    std::string s;
    append_shown(s, text);
    return s;
}

void append_formatted(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append_formatted(std::string& out, const char* fmt, ...) {
    char piece[kEntryLineSize];
    va_list ap;
    va_start(ap, fmt);
    (void)platform::format_bounded_v(piece, sizeof piece, fmt, ap);
    va_end(ap);
    out += piece;
}

void append_dir_icon(std::string& out, const char* href, const char* interface_text, int admin_port) {
    char escaped[kHrefSize];
    href_escape(href, escaped, sizeof escaped);
    out += "<a href=\"";
    out += escaped;
    append_formatted(out, "\"><IMG ALIGN=absbottom BORDER=0 SRC=\"http://%s:%d/admin/images/dir.gif\">",
                     interface_text, admin_port);
}

}  // namespace

int parse_listing_line(ListingParser& parser, char* line, ListingEntry* entry) {
    if (parser.style == ListingStyle::kNone) parser.style = style_of(line);
    entry->style = parser.style;
    int ok = 0;
    switch (parser.style) {
        case ListingStyle::kDos: ok = parse_dos(line, entry); break;
        case ListingStyle::kUnix: ok = parse_unix_like(line, false, entry); break;
        default: ok = parse_unix_like(line, true, entry); break;
    }
    if (!ok) parser.style = ListingStyle::kNone;
    return ok;
}

void size_text(long long size, char (&out)[kSizeTextSize]) {
    if (size < 0) size = 0;
    if (size <= kKilo - 1)
        platform::format_bounded(out, "%4lld bytes", size);
    else if (size <= kMega - 1)
        platform::format_bounded(out, "%4lld kB", size / kKilo);
    else if (size < kGiga)
        platform::format_bounded(out, "%4lld MB", size / kMega);
    else
        platform::copy_bounded(out, "???? GB");
}

int parent_path(const char* path, char* out, std::size_t size) {
    std::string p = path ? path : "";
    if (p.empty() || p[0] != '/') p.insert(p.begin(), '/');
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.size() <= 1) return 0;
    const std::size_t slash = p.rfind('/');
    p.resize(slash == 0 ? 1 : slash);
    platform::copy_bounded(out, p.c_str(), size);
    return 1;
}

void entry_link(const char* current, const ListingEntry& entry, char* out, std::size_t size) {
    std::string dir = directory_of(current);
    const char* target = entry.kind == EntryKind::kLink ? entry.target : nullptr;
    if (!target || !*target) {
        dir += entry.name;
    } else if (target[0] == '/') {
        dir = target;
    } else {
        for (;;) {
            if (std::strncmp(target, "./", 2) == 0) {
                target += 2;
            } else if (std::strncmp(target, "../", 3) == 0) {
                drop_last_component(dir);
                target += 3;
            } else {
                break;
            }
        }
        dir += target;
    }
    platform::copy_bounded(out, dir.c_str(), size);
}

void href_escape(const char* text, char* out, std::size_t size) {
    if (size == 0) return;
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t w = 0;
    for (; *text; ++text) {
        const unsigned char c = static_cast<unsigned char>(*text);
        if (href_special(c)) {
            if (w + 3 > size - 1) break;
            out[w++] = '%';
            out[w++] = kHex[c >> 4];
            out[w++] = kHex[c & 0x0f];
        } else {
            if (w + 1 > size - 1) break;
            out[w++] = static_cast<char>(c);
        }
    }
    out[w] = '\0';
}

void append_shown(std::string& out, const char* text) {
    for (; *text; ++text) {
        switch (*text) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += *text; break;
        }
    }
}

std::size_t format_listing_entry(const ListingEntry& e, const char* current, const char* interface_text,
                                 int admin_port, char* out, std::size_t size) {
    if (size == 0) return 0;
    char link[kHrefSize];
    entry_link(current, e, link, sizeof link);
    char href[kHrefSize];
    href_escape(link, href, sizeof href);

    char name[kShownNameLimit + 3];  // 27 characters, "..." and NUL
    const std::size_t name_length = std::strlen(e.name);
    if (name_length > kShownNameLimit) {
        std::memcpy(name, e.name, kShownNameLimit - 1);
        std::memcpy(name + kShownNameLimit - 1, "...", 4);
    } else {
        platform::copy_bounded(name, e.name);
    }

    const FileType& type = file_type_of(e.name);
    std::string line = "<A HREF=\"";
    line += href;
    append_formatted(line, "\"><IMG ALIGN=absbottom BORDER=0 SRC=\"http://%s:%d/admin/images/", interface_text,
                     admin_port);
    switch (e.kind) {
        case EntryKind::kDirectory: line += "dir.gif\"> "; break;
        case EntryKind::kLink: line += "link.gif\"> "; break;
        case EntryKind::kFile:
            line += type.icon;
            line += ".gif\"> ";
            break;
    }
    append_shown(line, name);
    line += "</A>";
    // The padding counts the name as shown, before its entities.
    line.append(kNameColumn - std::strlen(name), ' ');

    const std::string date = shown(e.date), time = shown(e.time), month = shown(e.month), day = shown(e.day);
    const bool dos = e.style == ListingStyle::kDos;
    switch (e.kind) {
        case EntryKind::kFile: {
            char sz[kSizeTextSize];
            size_text(e.size, sz);
            if (dos)
                append_formatted(line, "%10s %10s %8s %s\r\n", sz, date.c_str(), time.c_str(), type.description);
            else
                append_formatted(line, "%10s %3s %2s %5s %s\r\n", sz, month.c_str(), day.c_str(), time.c_str(),
                                 type.description);
            break;
        }
        case EntryKind::kLink:
            append_formatted(line, "Symb. Link %3s %2s %5s -> %s\r\n", month.c_str(), day.c_str(), time.c_str(),
                             shown(e.target ? e.target : "").c_str());
            break;
        case EntryKind::kDirectory:
            if (dos)
                append_formatted(line, " Directory %10s %8s\r\n", date.c_str(), time.c_str());
            else
                append_formatted(line, " Directory %3s %2s %5s\r\n", month.c_str(), day.c_str(), time.c_str());
            break;
    }
    const std::size_t n = line.size() < size ? line.size() : size - 1;
    std::memcpy(out, line.data(), n);
    out[n] = '\0';
    return n;
}

void append_path_bar(std::string& out, const char* path, const char* interface_text, int admin_port) {
    std::string bar;
    append_dir_icon(bar, "/", interface_text, admin_port);
    bar += "/</a><br>";
    std::string prefix = "/";
    int level = 0;
    for (const char* p = path; *p;) {
        while (*p == '/') ++p;
        if (!*p) break;
        const char* end = std::strchr(p, '/');
        const std::size_t length = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        const std::string component(p, length);
        prefix += component;
        prefix += '/';
        ++level;
        for (int i = 0; i < 2 * level; ++i) bar += "&nbsp;";
        append_dir_icon(bar, prefix.c_str(), interface_text, admin_port);
        append_shown(bar, component.c_str());
        bar += end ? "</a><br>" : "</a><p>";
        p += length;
        if (bar.size() > kPathBarLimit) break;
    }
    if (bar.size() > kPathBarLimit) {
        out += "<FONT size=+1><B>Current Directory is :<PRE>";
        append_shown(out, path);
        out += "</PRE></B></FONT><HR>\r\n";
        return;
    }
    out += bar;
}

}  // namespace kv::proxy
