#include "net/text_escape.h"

#include <cctype>
#include <cstring>

namespace kv::net {
namespace {

bool is_url_special(char c) { return c == '%' || c == ' ' || c == '?' || c == '+' || c == '&'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct Entity {
    char c;
    const char* text;
};
constexpr Entity kHtmlEntities[] = {{'<', "&lt;"}, {'>', "&gt;"}};

const char* entity_of(char c) {
    for (const Entity& e : kHtmlEntities)
        if (e.c == c) return e.text;
    return nullptr;
}

}  // namespace

void url_escape(char* text, std::size_t capacity) {
    if (capacity == 0) return;
    // First find how much of the text fits once escaped, then expand from the
    // back so no byte is overwritten before it has been read.
    std::size_t in = 0, out = 0;
    for (; text[in]; ++in) {
        std::size_t need = is_url_special(text[in]) ? 3 : 1;
        if (out + need > capacity - 1) break;
        out += need;
    }
    text[out] = '\0';
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t w = out;
    while (in > 0) {
        char c = text[--in];
        if (is_url_special(c)) {
            unsigned char u = static_cast<unsigned char>(c);
            text[--w] = kHex[u & 0x0f];
            text[--w] = kHex[u >> 4];
            text[--w] = '%';
        } else {
            text[--w] = c;
        }
    }
}

void url_unescape(char* text) {
    char* w = text;
    for (const char* r = text; *r;) {
        int hi, lo;
        if (r[0] == '%' && (hi = hex_value(r[1])) >= 0 && (lo = hex_value(r[2])) >= 0) {
            *w++ = static_cast<char>(hi * 16 + lo);
            r += 3;
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
}

void plus_to_blank(char* text) {
    for (; *text; ++text)
        if (*text == '+') *text = ' ';
}

void html_escape(const char* text, char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t w = 0;
    for (; *text; ++text) {
        const char* e = entity_of(*text);
        std::size_t need = e ? std::strlen(e) : 1;
        if (w + need > size - 1) break;  // cut before an entity, never inside one
        if (e) {
            std::memcpy(out + w, e, need);
        } else {
            out[w] = *text;
        }
        w += need;
    }
    out[w] = '\0';
}

std::size_t html_escape_in_place(char* text, std::size_t capacity) {
    std::size_t len = std::strlen(text);
    std::size_t result = len;
    for (std::size_t i = 0; i < len; ++i)
        if (const char* e = entity_of(text[i])) result += std::strlen(e) - 1;
    if (result + 1 > capacity) return 0;
    text[result] = '\0';
    std::size_t w = result;
    for (std::size_t i = len; i > 0;) {
        char c = text[--i];
        if (const char* e = entity_of(c)) {
            std::size_t n = std::strlen(e);
            w -= n;
            std::memcpy(text + w, e, n);
        } else {
            text[--w] = c;
        }
    }
    return result;
}

void html_escape_attribute(const char* text, char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t n = 0;
    for (; text && *text; ++text) {
        const char* entity = nullptr;
        switch (*text) {
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '&': entity = "&amp;"; break;
            case '"': entity = "&quot;"; break;
            default: break;
        }
        const std::size_t len = entity ? std::strlen(entity) : 1;
        if (n + len + 1 > size) break;
        if (entity)
            std::memcpy(out + n, entity, len);
        else
            out[n] = *text;
        n += len;
    }
    out[n] = '\0';
}

}  // namespace kv::net
