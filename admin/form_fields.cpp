// Form values in a request path. The readers never change the text they read.
#include "admin/form_fields.h"
#include "net/text_escape.h"

#include <climits>
#include <cstring>


namespace kv::admin {
namespace {

// Start of the value of a field found by find_field (empty when the name ends the text).
const char* value_of(const char* field, const char* name) {
    const char* after = field + std::strlen(name);
    return *after == '=' ? after + 1 : after;
}

std::size_t value_length(const char* value) { return std::strcspn(value, "&"); }

}  // namespace

const char* find_field(const char* text, const char* name) {
    if (!text || !name || !name[0]) return nullptr;
    const std::size_t n = std::strlen(name);
    for (const char* p = std::strstr(text, name); p; p = std::strstr(p + 1, name)) {
        if (p[n] == '=' || p[n] == '\0') return p;
    }
    return nullptr;
}

int field_text(const char* text, const char* name, std::size_t max, char* out, std::size_t size) {
    const char* field = find_field(text, name);
    if (!field || !out || size == 0) return 0;
    const char* value = value_of(field, name);
    std::size_t n = value_length(value);
    if (n > max) n = max;
    if (n > size - 1) n = size - 1;
    std::memcpy(out, value, n);
    out[n] = '\0';
    net::url_unescape(out);
    return 1;
}

int field_number(const char* text, const char* name, int* out) {
    const char* field = find_field(text, name);
    if (!field || !out) return 0;
    const char* value = value_of(field, name);
    const std::size_t n = value_length(value);
    long long number = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (value[i] < '0' || value[i] > '9') return 0;
        number = number * 10 + (value[i] - '0');
        // A number no setting can hold leaves the setting as it was.
        if (number > INT_MAX) return 0;
    }
    *out = static_cast<int>(number);
    return 1;
}

int field_checkbox(const char* text, const char* name) { return find_field(text, name) != nullptr; }

}  // namespace kv::admin
