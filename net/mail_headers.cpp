#include "net/mail_headers.h"

#include <cctype>
#include <cstring>

#include "platform/bounded_text.h"

namespace kv::net {
namespace {

int lower(char c) { return std::tolower(static_cast<unsigned char>(c)); }

}  // namespace

int header_value(const char* name, const char* block, std::size_t length, char* out, std::size_t size) {
    if (size == 0) return 0;
    out[0] = '\0';
    std::size_t name_len = std::strlen(name);
    if (length < name_len) return 0;
    for (std::size_t i = 0; i < name_len; ++i)
        if (lower(block[i]) != lower(name[i])) return 0;
    std::size_t r = name_len;
    if (r < length && block[r] == ' ') ++r;
    std::size_t w = 0;
    while (r < length && block[r] != '\0') {
        char c = block[r];
        if (c == '\n') {
            // A folded header continues on lines starting with a blank or tab;
            // the line break itself is not part of the value.
            if (r + 1 < length && (block[r + 1] == ' ' || block[r + 1] == '\t')) {
                ++r;
                continue;
            }
            break;
        }
        if (c == '\r' && (r + 1 >= length || block[r + 1] == '\n')) {
            ++r;
            continue;
        }
        if (w + 1 < size) out[w++] = c;
        ++r;
    }
    out[w] = '\0';
    return 1;
}

void extract_mail_address(const char* text, char* out, std::size_t size) {
    const char* at = std::strchr(text, '@');
    if (!at) {
        platform::copy_bounded(out, text, size);
        return;
    }
    auto is_bound = [](char c) { return c == '<' || c == '>' || c == ' ' || c == '\t'; };
    const char* begin = at;
    while (begin > text && !is_bound(begin[-1])) --begin;
    const char* end = at;
    while (*end && !is_bound(*end)) ++end;
    if (size == 0) return;
    std::size_t n = static_cast<std::size_t>(end - begin);
    if (n > size - 1) n = size - 1;
    std::memcpy(out, begin, n);
    out[n] = '\0';
}

}  // namespace kv::net
