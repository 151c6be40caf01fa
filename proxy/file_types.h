#pragma once
// The file-type table: what a file name's extension means to a browser (the
// Content-Type of a download) and to a directory listing (icon and
// description). Constant data, one lookup.
#include <cstddef>

namespace kv::proxy {

struct FileType {
    const char* extension;    // compared without case
    const char* mime_type;    // sent as Content-Type
    const char* encoding;     // transfer-encoding class; informative only
    const char* icon;         // base name of an admin image, "%s.gif"
    const char* description;  // shown in directory listings
};

// The whole table in its order: "???" (names without '.') first, "!!!"
// (extensions the table does not know) second.
const FileType* file_type_table(std::size_t* count);

// The entry for the text after the name's last '.': "???" when there is no
// '.', else the first entry whose extension equals that text without case,
// else "!!!" (an empty extension, from a trailing '.', included).
const FileType& file_type_of(const char* name);

}  // namespace kv::proxy
