#pragma once
// The HTML side of FTP directories: reading a server's LIST lines (DOS, Unix
// and the NetWare-like "other" style), turning each entry into one line of
// the listing page, and the page's navigation (path bar, upper directory).
// Pure functions over caller-owned buffers; no sockets, no settings.
#include <cstddef>
#include <string>

namespace kv::proxy {

// A listing line is taken from at most this many bytes (the upper half of the
// work buffer); its entry line is formatted into the lower half.
inline constexpr std::size_t kListingAreaSize = 4096;
inline constexpr std::size_t kEntryLineSize = 4096;
// Link targets are escaped within 2047 characters.
inline constexpr std::size_t kHrefSize = 2048;
inline constexpr std::size_t kShownNameLimit = 28;  // longer: 27 characters and "..."
inline constexpr std::size_t kNameColumn = 33;      // details start after this column
// The path bar gives way to one line with the path when it would fill more
// than 70 % of the 8192-byte work buffer.
inline constexpr std::size_t kPathBarLimit = 8192 * 7 / 10;
inline constexpr std::size_t kSizeTextSize = 16;    // "1023 bytes" / "???? GB" + NUL

enum class ListingStyle { kNone, kDos, kUnix, kOther };
enum class EntryKind { kFile, kDirectory, kLink };

// The style in force; it stays from line to line until a line fails to
// parse, and the line after that decides again. Zero-initialise.
struct ListingParser {
    ListingStyle style = ListingStyle::kNone;
};

// One accepted entry; the pointers point into the parsed line.
struct ListingEntry {
    ListingStyle style;
    EntryKind kind;
    long long size;      // files; 0 for directories and links
    const char* date;    // DOS
    const char* time;    // DOS time; Unix/other time or year
    const char* month;   // Unix/other
    const char* day;     // Unix/other
    const char* name;
    const char* target;  // links: the text after " -> "
};

// Parses one line (its line end already removed; the line is cut into fields
// in place). 1 with *entry for a file, directory or link; 0 for a line that
// yields no entry ("total N", ".", "..", short lines, device lines with a
// non-numeric size), after which the next line decides the style again.
[[nodiscard]] int parse_listing_line(ListingParser& parser, char* line, ListingEntry* entry);

// "%4d bytes" up to 1023, "%4d kB" up to 1048575, "%4d MB" below
// 1073741824, "???? GB" from there on.
void size_text(long long size, char (&out)[kSizeTextSize]);

// The directory above path: 1 with it in out; 0 when path is the root.
[[nodiscard]] int parent_path(const char* path, char* out, std::size_t size);

// The link of a listing entry, before escaping: the current directory
// (with a leading and a trailing '/') followed by the name; for a symbolic
// link the target: absolute as it stands, "./" and each "../" taken against
// the current directory, never above "/", anything else relative to it.
void entry_link(const char* current, const ListingEntry& entry, char* out, std::size_t size);

// An HREF value: '%', ' ', '?', '+', '&', '"', '#', '<', '>' and control
// bytes become %hh; cut before an escape that would not fit (size incl. NUL).
void href_escape(const char* text, char* out, std::size_t size);

// Appends text with '&', '<', '>' and '"' as entities.
void append_shown(std::string& out, const char* text);

// The entry's line of the listing page: icon link, shown name padded to the
// name column, details. Returns its length (cut to fit size, NUL included).
std::size_t format_listing_entry(const ListingEntry& entry, const char* current, const char* interface_text,
                                 int admin_port, char* out, std::size_t size);

// The path bar of directory path: the root icon, then one indented icon link
// per component, each ending in '/'; the single "Current Directory is" line
// instead when the bar would grow beyond kPathBarLimit.
void append_path_bar(std::string& out, const char* path, const char* interface_text, int admin_port);

}  // namespace kv::proxy
