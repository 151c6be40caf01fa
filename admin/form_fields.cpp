// Form values in a request path. The readers never change the text they read.
#include "admin/form_fields.h"
#include "net/text_escape.h"

#include <climits>
#include <cstring>
#include <string>

#include "net/text_scan.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

// Decoding never makes a value longer; a decoded character takes at most three raw ones.
constexpr std::size_t kRawPerCharacter = 3;

// kFieldStart: the name right after the query's '?' or after a '&', then '='.
const char* find_at_field_start(const char* text, const char* name) {
    const char* query = std::strchr(text, '?');
    if (!query) return nullptr;
    const std::size_t n = std::strlen(name);
    for (const char* p = query + 1; p && *p;) {
        if (std::strncmp(p, name, n) == 0 && p[n] == '=') return p;
        p = std::strchr(p, '&');
        if (p) ++p;
    }
    return nullptr;
}

// Copies n raw characters into out (n < size), '+' to blank when asked, %XX decoded.
void decode_into(const char* raw, std::size_t n, bool plus_is_blank, char* out) {
    std::memcpy(out, raw, n);
    out[n] = '\0';
    if (plus_is_blank) net::plus_to_blank(out);
    net::url_unescape(out);
}

}  // namespace

const char* find_field(const char* text, const char* name) {
    if (!text || !name || !name[0]) return nullptr;
    const std::size_t n = std::strlen(name);
    for (const char* p = std::strstr(text, name); p; p = std::strstr(p + 1, name)) {
        if (p[n] == '=' || p[n] == '\0') return p;
    }
    return nullptr;
}

const char* field_value(const char* text, const char* name, FieldMatch match, std::size_t* length) {
    if (!text || !name || !name[0]) return nullptr;
    const char* at = match == FieldMatch::kFieldStart ? find_at_field_start(text, name) : find_field(text, name);
    if (!at) return nullptr;
    const char* value = at + std::strlen(name);
    if (*value == '=') ++value;  // else the name ends the text: an empty value
    if (length) *length = std::strcspn(value, "&");
    return value;
}

int form_text(const char* text, const char* name, FieldRule rule, std::size_t max, char* out, std::size_t size) {
    std::size_t n = 0;
    const char* value = field_value(text, name, rule.match, &n);
    if (!value || !out || size == 0) return 0;
    if (rule.cut == FieldCut::kRaw) {
        if (n > max) n = max;
        if (n > size - 1) n = size - 1;
        decode_into(value, n, true, out);
        return 1;
    }
    if (n > kRawPerCharacter * max) n = kRawPerCharacter * max;
    std::string decoded(n, '\0');
    decode_into(value, n, true, decoded.data());
    if (std::strlen(decoded.c_str()) > max) decoded[max] = '\0';
    platform::copy_bounded(out, decoded.c_str(), size);
    return 1;
}

void form_item(const char* text, const char* name, FieldRule rule, std::size_t max, char* out, std::size_t size) {
    if (!out || size == 0) return;
    out[0] = '\0';
    (void)form_text(text, name, rule, max, out, size);
    net::trim(out);
}

int form_number(const char* text, const char* name, FieldRule rule, int* out) {
    std::size_t n = 0;
    const char* value = field_value(text, name, rule.match, &n);
    if (!value || !out) return 0;
    if (n == 0) {
        *out = 0;
        return 1;
    }
    long long number = 0;
    if (!platform::parse_decimal(value, n, 0, INT_MAX, &number)) return 0;
    *out = static_cast<int>(number);
    return 1;
}

int form_checkbox(const char* text, const char* name, FieldRule rule) {
    return field_value(text, name, rule.match) != nullptr;
}

int leading_number(const char* text) {
    if (!text) return 0;
    const long long value = platform::leading_decimal(text, INT_MAX);
    if (value < INT_MAX) return static_cast<int>(value);
    // The digits were read while the value stayed below INT_MAX: a value that
    // stepped over it reads 0, one that landed on it stops there.
    const char* digits = text + std::strspn(text, " \t");
    digits += std::strspn(digits, "0");
    return std::strncmp(digits, "2147483647", 10) == 0 ? INT_MAX : 0;
}

int field_text(const char* text, const char* name, std::size_t max, char* out, std::size_t size) {
    std::size_t n = 0;
    const char* value = field_value(text, name, FieldMatch::kAnywhere, &n);
    if (!value || !out || size == 0) return 0;
    if (n > max) n = max;
    if (n > size - 1) n = size - 1;
    decode_into(value, n, false, out);
    return 1;
}

int field_number(const char* text, const char* name, int* out) {
    return form_number(text, name, {FieldMatch::kAnywhere, FieldCut::kRaw}, out);
}

int field_checkbox(const char* text, const char* name) {
    return form_checkbox(text, name, {FieldMatch::kAnywhere, FieldCut::kRaw});
}

}  // namespace kv::admin
