#include "net/base64.h"

#include <cstdint>

namespace kv::net {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';

int value_of(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Encodes `groups` groups of up to three bytes (the last one may be short and
// filled with '='). out must hold 4 * groups + 1 bytes.
std::size_t encode_groups(const unsigned char* in, std::size_t n, std::size_t groups, char* out) {
    std::size_t w = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        std::size_t i = g * 3;
        std::size_t left = n - i;
        std::uint32_t v = static_cast<std::uint32_t>(in[i]) << 16;
        if (left > 1) v |= static_cast<std::uint32_t>(in[i + 1]) << 8;
        if (left > 2) v |= in[i + 2];
        out[w++] = kAlphabet[(v >> 18) & 63];
        out[w++] = kAlphabet[(v >> 12) & 63];
        out[w++] = left > 1 ? kAlphabet[(v >> 6) & 63] : kFill;
        out[w++] = left > 2 ? kAlphabet[v & 63] : kFill;
    }
    out[w] = '\0';
    return w;
}

// Accumulates six-bit values into bytes, at most size - 1 of them.
struct Decoder {
    char* out;
    std::size_t size;
    std::size_t w = 0;
    std::uint32_t bits = 0;
    int nbits = 0;

    // false once the output is full.
    bool add(int v) {
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            if (w + 1 >= size) return false;
            out[w++] = static_cast<char>((bits >> nbits) & 0xff);
        }
        return true;
    }
    std::size_t finish() {
        out[w] = '\0';
        return w;
    }
};

}  // namespace

std::size_t base64_encode(const void* data, std::size_t n, char* out, std::size_t size) {
    if (size == 0) return 0;
    std::size_t groups = (n + 2) / 3;
    if (groups > (size - 1) / 4) {
        out[0] = '\0';
        return 0;
    }
    return encode_groups(static_cast<const unsigned char*>(data), n, groups, out);
}

std::size_t base64_encode_groups(const void* data, std::size_t n, char* out, std::size_t size) {
    if (size == 0) return 0;
    std::size_t groups = (n + 2) / 3;
    if (groups > (size - 1) / 4) groups = (size - 1) / 4;
    return encode_groups(static_cast<const unsigned char*>(data), n, groups, out);
}

std::size_t base64_decode(const char* text, char* out, std::size_t size) {
    if (size == 0) return 0;
    while (*text == ' ' || *text == '\t') ++text;
    Decoder d{out, size};
    for (int v; (v = value_of(*text)) >= 0 && d.add(v); ++text) {}
    return d.finish();
}

std::size_t base64_decode_lenient(const char* text, char* out, std::size_t size) {
    if (size == 0) return 0;
    Decoder d{out, size};
    for (; *text && *text != kFill; ++text) {
        int v = value_of(*text);
        if (v >= 0 && !d.add(v)) break;
    }
    return d.finish();
}

}  // namespace kv::net
