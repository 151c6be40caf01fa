#pragma once
// The images the admin server serves under /admin/images/ (icons for the FTP
// listings and the admin pages, logos, the page background), compiled into
// the program from admin/images/ at build time.
#include <cstddef>

namespace kv::admin {

struct EmbeddedImage {
    const char* name;            // "dir.gif" ...
    const unsigned char* data;
    std::size_t size;
};
extern const EmbeddedImage kEmbeddedImages[];
extern const std::size_t kEmbeddedImageCount;

// The image of that name; null when there is none.
const EmbeddedImage* find_image(const char* name);

}  // namespace kv::admin
