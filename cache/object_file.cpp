#include "cache/object_file.h"

#include <cstring>

#include "platform/bounded_text.h"

namespace kv::cache {
namespace {

constexpr char kHex[] = "0123456789abcdef";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A control character (a line break a request line let through) would make a
// directory whose name no listing link or log line shows as it is.
bool has_separator_or_dots(const char* name) {
    for (const char* c = name; *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) return true;
    return std::strchr(name, '/') || std::strchr(name, '\\') || std::strstr(name, "..");
}

}  // namespace

void put_le32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t get_le32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void put_le64(unsigned char* p, std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(u >> (8 * i));
}

std::int64_t get_le64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<std::int64_t>(v);
}

std::size_t encode_header(const ObjectHeader& h, const char* url, unsigned char* out, std::size_t size) {
    const std::size_t url_length = ::strnlen(url, kUrlMax);
    const std::size_t total = kHeaderFixedSize + url_length + 1;
    if (size < total) return 0;
    out[0] = h.format;
    put_le32(out + 1, static_cast<std::uint32_t>(total));
    put_le32(out + kHitCountOffset, h.hits);
    put_le64(out + 9, h.expiry);
    std::memcpy(out + kHeaderFixedSize, url, url_length);
    out[kHeaderFixedSize + url_length] = '\0';
    return total;
}

int decode_header(const unsigned char* data, std::size_t n, ObjectHeader* out) {
    if (n < kHeaderFixedSize) return 0;
    ObjectHeader h{};
    h.format = data[0];
    h.data_offset = get_le32(data + 1);
    h.hits = get_le32(data + kHitCountOffset);
    h.expiry = get_le64(data + 9);
    h.url = "";
    if (h.format != kFormatComplete && h.format != kFormatWriting) return 0;
    if (h.data_offset < kHeaderFixedSize + 1 || h.data_offset > kHeaderMax) return 0;
    // The URL is used only when all of it and its NUL are at hand.
    if (h.data_offset <= n && data[h.data_offset - 1] == '\0' &&
        std::memchr(data + kHeaderFixedSize, '\0', h.data_offset - kHeaderFixedSize) == data + h.data_offset - 1)
        h.url = reinterpret_cast<const char*>(data + kHeaderFixedSize);
    *out = h;
    return 1;
}

void object_name(unsigned kind, const unsigned char key[16], char out[kObjectNameLength + 1]) {
    out[0] = static_cast<char>('0' + (kind % 10));
    for (int i = 0; i < 16; ++i) {
        out[1 + 2 * i] = kHex[key[i] >> 4];
        out[2 + 2 * i] = kHex[key[i] & 15];
    }
    std::memcpy(out + 33, ".cch", 5);
}

int parse_object_name(const char* name, char* kind, unsigned char key[16]) {
    if (std::strlen(name) != kObjectNameLength || std::strcmp(name + 33, ".cch") != 0) return 0;
    for (int i = 0; i < 16; ++i) {
        const int hi = hex_value(name[1 + 2 * i]);
        const int lo = hex_value(name[2 + 2 * i]);
        if (hi < 0 || lo < 0) return 0;
        key[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    *kind = name[0];
    return 1;
}

int object_path(const char* dir, const char* host, unsigned kind, const unsigned char key[16], char* out,
                std::size_t size) {
    if (!host_name_allowed(host)) return 0;
    char name[kObjectNameLength + 1];
    object_name(kind, key, name);
    return platform::format_bounded(out, size, "%s/%s.dns/%s", dir, host, name) == 0;
}

bool host_name_allowed(const char* host) {
    return host && host[0] != '\0' && host[0] != '.' && !has_separator_or_dots(host);
}

bool directory_name_allowed(const char* name) {
    return name && std::strlen(name) > 4 && ends_with(name, ".dns") && name[0] != '.' &&
           !has_separator_or_dots(name);
}

int map_relative_name(const char* relative, char* out, std::size_t size) {
    if (!relative) return 0;
    const char* slash = std::strchr(relative, '\\');
    if (!slash || std::strchr(slash + 1, '\\')) return 0;
    char directory[kPathSize];
    const auto dir_length = static_cast<std::size_t>(slash - relative);
    if (dir_length >= sizeof directory) return 0;
    std::memcpy(directory, relative, dir_length);
    directory[dir_length] = '\0';
    const char* file = slash + 1;
    if (!directory_name_allowed(directory) || !ends_with(file, ".cch") || std::strlen(file) <= 4 ||
        file[0] == '.' || has_separator_or_dots(file))
        return 0;
    return platform::format_bounded(out, size, "%s/%s", directory, file) == 0;
}

bool ends_with(const char* text, const char* tail) {
    const std::size_t n = std::strlen(text), m = std::strlen(tail);
    return n >= m && std::memcmp(text + n - m, tail, m) == 0;
}

void totals_change(Totals& t, std::int64_t size, int kind, int sign) {
    if (kind < 0 || kind > 2) return;
    const auto bytes = static_cast<std::int32_t>(sign * size);
    t.v[kTotalBytes] += bytes;
    t.v[kHttpBytes + kind] += bytes;
    t.v[kTotalObjects] += sign;
    t.v[kHttpObjects + kind] += sign;
}

Totals totals_merge(const Totals& run, const Totals& current, const Totals& snapshot) {
    Totals out{};
    for (int i = 0; i < kTotalCount; ++i) out.v[i] = run.v[i] + (current.v[i] - snapshot.v[i]);
    return out;
}

void totals_encode(const Totals& t, unsigned char out[kStatusFileSize]) {
    for (int i = 0; i < kTotalCount; ++i) put_le32(out + 4 * i, static_cast<std::uint32_t>(t.v[i]));
}

Totals totals_decode(const unsigned char in[kStatusFileSize]) {
    Totals t{};
    for (int i = 0; i < kTotalCount; ++i) t.v[i] = static_cast<std::int32_t>(get_le32(in + 4 * i));
    return t;
}

bool totals_trusted(const Totals& t, std::size_t bytes_read) {
    return bytes_read >= kStatusFileSize && t.v[kTotalBytes] > 1048575 && t.v[kTotalObjects] >= 50;
}

int kind_of_name(const char* name) { return name[0] >= '0' && name[0] <= '2' ? name[0] - '0' : -1; }

}  // namespace kv::cache
