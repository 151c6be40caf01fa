// The '*'-only, case-blind pattern match shared by the access list and the
// TTL rules. It only reads the pattern: connection threads match the same
// stored patterns concurrently.
#include <cctype>
#include <cstring>

#include "config/config_lists.h"

namespace kv::config {
namespace {

bool equal_case_blind(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// First occurrence of part[0..n) in text at or after `from`; -1 when absent.
long find_part(const char* text, std::size_t text_len, std::size_t from, const char* part,
               std::size_t n) {
    if (n > text_len) return -1;
    for (std::size_t i = from; i + n <= text_len; ++i) {
        if (equal_case_blind(text + i, part, n)) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

bool wildcard_match(const char* pattern, const char* text) {
    if (!pattern || !text) return false;
    const std::size_t plen = std::strlen(pattern);
    const std::size_t tlen = std::strlen(text);
    const char* star = std::strchr(pattern, '*');
    if (!star) return plen == tlen && equal_case_blind(pattern, text, plen);

    // The part before the first '*' anchors the start of the text.
    std::size_t pos = 0;
    const std::size_t head = static_cast<std::size_t>(star - pattern);
    if (head > 0) {
        if (head > tlen || !equal_case_blind(pattern, text, head)) return false;
        pos = head;
    }
    const bool open_end = pattern[plen - 1] == '*';

    const char* p = star;
    while (*p) {
        while (*p == '*') ++p;
        if (!*p) break;
        const char* next = std::strchr(p, '*');
        const std::size_t n = next ? static_cast<std::size_t>(next - p) : std::strlen(p);
        const bool last = next == nullptr;
        if (last && !open_end) {
            // The last part anchors the end of the text. Looking at the end
            // rather than at the first occurrence keeps "*.gif" matching
            // "a.gif.gif" and "*.exe" matching "http://a.exe.example/b.exe".
            return n <= tlen && tlen - n >= pos && equal_case_blind(text + (tlen - n), p, n);
        }
        const long at = find_part(text, tlen, pos, p, n);
        if (at < 0) return false;
        pos = static_cast<std::size_t>(at) + n;
        p += n;
    }
    return true;
}

}  // namespace kv::config
