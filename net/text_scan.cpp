#include "net/text_scan.h"

#include <cctype>
#include <cstring>

namespace kv::net {
namespace {

int lower(char c) { return std::tolower(static_cast<unsigned char>(c)); }

}  // namespace

const char* find_case_blind(const char* text, const char* pattern) {
    if (!text || !pattern) return nullptr;
    if (!*pattern) return text;
    for (; *text; ++text) {
        std::size_t i = 0;
        while (pattern[i] && text[i] && lower(text[i]) == lower(pattern[i])) ++i;
        if (!pattern[i]) return text;
        if (!text[i]) return nullptr;  // the rest of the text is shorter than the pattern
    }
    return nullptr;
}

bool word_list_match(const char* list, const char* text) {
    if (!list || !text) return false;
    static constexpr char kSeparators[] = " \t\r\n";
    const char* p = list;
    while (*p) {
        p += std::strspn(p, kSeparators);
        std::size_t n = std::strcspn(p, kSeparators);
        if (n == 0) break;
        for (const char* t = text; *t; ++t) {
            std::size_t i = 0;
            while (i < n && t[i] && lower(t[i]) == lower(p[i])) ++i;
            if (i == n) return true;
            if (!t[i]) break;
        }
        p += n;
    }
    return false;
}

int next_token(const char** cursor, const char* delimiters, char* out, std::size_t size) {
    const char* p = *cursor;
    p += std::strspn(p, delimiters);
    std::size_t n = std::strcspn(p, delimiters);
    *cursor = p + n;
    if (size > 0) out[0] = '\0';
    // An empty or overlong token gives nothing; the cursor still moves past it.
    if (n == 0 || n + 1 > size) return 0;
    std::memcpy(out, p, n);
    out[n] = '\0';
    return 1;
}

void trim_trailing_slash(char* path) {
    // Every trailing one: with only the last removed, "dir//" would lose one
    // more at each start, so a saved setting would not read back as itself.
    std::size_t len = std::strlen(path);
    while (len > 1 && (path[len - 1] == '/' || path[len - 1] == '\\')) path[--len] = '\0';
}

void trim(char* text) {
    std::size_t len = std::strlen(text);
    while (len > 0 && std::isspace(static_cast<unsigned char>(text[len - 1]))) --len;
    std::size_t start = 0;
    while (start < len && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    std::memmove(text, text + start, len - start);
    text[len - start] = '\0';
}

}  // namespace kv::net
