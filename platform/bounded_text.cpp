#include "platform/bounded_text.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace kv::platform {

int copy_bounded(char* out, const char* text, std::size_t size) {
    if (!text) text = "";
    if (size == 0) return *text != '\0';
    std::size_t i = 0;
    for (; i + 1 < size && text[i]; ++i) out[i] = text[i];
    out[i] = '\0';
    return text[i] != '\0';
}

int format_bounded_v(char* out, std::size_t size, const char* fmt, va_list ap) {
    if (size == 0) return 1;
    const int r = std::vsnprintf(out, size, fmt, ap);
    if (r < 0) {
        out[0] = '\0';
        return 1;
    }
    return static_cast<std::size_t>(r) >= size;
}

int format_bounded(char* out, std::size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int cut = format_bounded_v(out, size, fmt, ap);
    va_end(ap);
    return cut;
}

int parse_decimal(const char* text, std::size_t n, long long low, long long high, long long* out) {
    if (!text || n == 0) return 0;
    for (std::size_t i = 0; i < n; ++i)
        if (text[i] < '0' || text[i] > '9') return 0;
    long long v = 0;
    const auto [end, ec] = std::from_chars(text, text + n, v);
    if (ec != std::errc() || end != text + n || v < low || v > high) return 0;
    *out = v;
    return 1;
}

int parse_decimal(const char* text, long long low, long long high, long long* out) {
    return text ? parse_decimal(text, std::strlen(text), low, high, out) : 0;
}

long long leading_decimal(const char* text, long long high, const char** end) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        v = v > (high - digit) / 10 ? high : v * 10 + digit;
    }
    if (end) *end = p;
    return v;
}

}  // namespace kv::platform
