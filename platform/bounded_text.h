#pragma once
// Bounded text and numbers: every fixed field is filled by these, and every
// number from a peer, a form or a file is read by parse_decimal. The lowest
// room holds them so the logs and the registry use the same cuts as services.
#include <cstdarg>
#include <cstddef>

namespace kv::platform {

// Copies at most size-1 characters and always terminates. Returns 1 when the
// text was cut.
int copy_bounded(char* out, const char* text, std::size_t size);
template <std::size_t N>
int copy_bounded(char (&out)[N], const char* text) { return copy_bounded(out, text, N); }

// vsnprintf into a fixed field; returns 1 when the output was cut.
int format_bounded(char* out, std::size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int format_bounded_v(char* out, std::size_t size, const char* fmt, va_list ap) __attribute__((format(printf, 3, 0)));
template <std::size_t N, typename... Args>
int format_bounded(char (&out)[N], const char* fmt, Args... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    return format_bounded(out, N, fmt, args...);
#pragma GCC diagnostic pop
}

// The decimal number that is exactly the first n characters of text (no sign,
// no blanks), within [low, high]. 1 and *out set; 0 and *out unchanged when the
// text is empty, holds anything but digits, or the value is out of range.
[[nodiscard]] int parse_decimal(const char* text, std::size_t n, long long low, long long high, long long* out);
[[nodiscard]] int parse_decimal(const char* text, long long low, long long high, long long* out);
template <typename Int>
[[nodiscard]] int parse_decimal(const char* text, long long low, long long high, Int* out) {
    long long v = 0;
    if (!parse_decimal(text, low, high, &v)) return 0;
    *out = static_cast<Int>(v);
    return 1;
}
template <typename Int>
[[nodiscard]] int parse_decimal(const char* text, std::size_t n, long long low, long long high, Int* out) {
    long long v = 0;
    if (!parse_decimal(text, n, low, high, &v)) return 0;
    *out = static_cast<Int>(v);
    return 1;
}

// Leading decimal digits after optional blanks, as a value clamped to
// [0, high]; 0 when there are none. For the forgiving reads of forms and
// headers, where "12abc" means 12. *end (when given) points after the digits.
long long leading_decimal(const char* text, long long high, const char** end = nullptr);

}  // namespace kv::platform
