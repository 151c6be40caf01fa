#include "conn/record_dump.h"

#include <fcntl.h>
#include <strings.h>

#include <cstring>
#include <memory>

#include "platform/file_io.h"

namespace kv::conn {
namespace {

// A value ends at a control character (a tab belongs to it).
bool line_end(char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; }

// Text starts after a byte that is not text: a line end, or the edge of one
// of the record's buffers beside binary fields.
bool text_boundary(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u >= 0x7f;
}

std::size_t blank_to_line_end(char* bytes, std::size_t from, std::size_t size) {
    std::size_t n = 0;
    for (std::size_t i = from; i < size && !line_end(bytes[i]); ++i, ++n) bytes[i] = '*';
    return n;
}

bool starts_with(const char* bytes, std::size_t at, std::size_t size, const char* word) {
    const std::size_t n = std::strlen(word);
    return size - at >= n && strncasecmp(bytes + at, word, n) == 0;
}

// Blanks "user:password" in "://user:password@host" starting at 'from'.
std::size_t blank_address_credentials(char* bytes, std::size_t from, std::size_t size) {
    std::size_t end = from;
    while (end < size && !line_end(bytes[end]) && bytes[end] != '@' && bytes[end] != '/' && bytes[end] != ' ')
        ++end;
    if (end >= size || bytes[end] != '@') return 0;
    std::memset(bytes + from, '*', end - from);
    return end - from;
}

constexpr const char* kCredentialLines[] = {"authorization:", "proxy-authorization:", "pass ", "user ", "auth ",
                                            "pass\t", "user\t", "auth\t"};

// A form field whose name ends in "password" ("old_password=...") keeps its
// value up to the next field, blank or line end.
constexpr char kPasswordField[] = "password=";

std::size_t blank_field_value(char* bytes, std::size_t from, std::size_t size) {
    std::size_t n = 0;
    for (std::size_t i = from; i < size && !line_end(bytes[i]) && bytes[i] != '&' && bytes[i] != ' '; ++i, ++n)
        bytes[i] = '*';
    return n;
}

// Once the proxy has parsed a request its text is cut into NUL-ended parts
// that no longer read as header lines or addresses; the proxy fields point at
// them. Blanks, in the copy, the parts those pointers name: the user and
// password of an ftp:// address and the values of the authorization headers.
void blank_parsed_request(const ConnectionRecord& r, char* copy) {
    const char* const base = reinterpret_cast<const char*>(&r);
    const char* const begin = r.proxy.request;
    const char* const end = begin + sizeof r.proxy.request;
    const auto inside = [&](const char* text) { return text && text >= begin && text < end; };
    const auto blank = [&](const char* text) {
        if (!inside(text)) return;
        char* out = copy + (text - base);
        for (const char* t = text; t < end && *t; ++t, ++out) *out = '*';
    };
    blank(r.proxy.ftp_user);
    blank(r.proxy.ftp_password);
    const int count = r.proxy.header_count < 0 ? 0 : r.proxy.header_count;
    for (int i = 0; i < count && i < kMaxHeaders; ++i) {
        const char* name = r.proxy.headers[i].name;
        if (!inside(name)) continue;
        const std::size_t n = strnlen(name, static_cast<std::size_t>(end - name));
        const bool credential = (n == 13 && strncasecmp(name, "Authorization", 13) == 0) ||
                                (n == 19 && strncasecmp(name, "Proxy-Authorization", 19) == 0);
        if (credential) blank(r.proxy.headers[i].value);
    }
}

}  // namespace

std::size_t blank_credentials(char* bytes, std::size_t size) {
    std::size_t blanked = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (i + 3 <= size && std::memcmp(bytes + i, "://", 3) == 0) {
            blanked += blank_address_credentials(bytes, i + 3, size);
            continue;
        }
        if (starts_with(bytes, i, size, kPasswordField)) {
            blanked += blank_field_value(bytes, i + sizeof kPasswordField - 1, size);
            continue;
        }
        if (i != 0 && !text_boundary(bytes[i - 1])) continue;
        for (const char* word : kCredentialLines) {
            if (!starts_with(bytes, i, size, word)) continue;
            blanked += blank_to_line_end(bytes, i + std::strlen(word), size);
            break;
        }
    }
    return blanked;
}

bool append_record_dump(const ConnectionRecord& r, const char* path) {
    const std::unique_ptr<char[]> copy(new char[sizeof r]);
    std::memcpy(copy.get(), static_cast<const void*>(&r), sizeof r);
    blank_parsed_request(r, copy.get());
    blank_credentials(copy.get(), sizeof r);
    const platform::File file = platform::open_file(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    return file.valid() && platform::write_all(file.get(), copy.get(), sizeof r);
}

}  // namespace kv::conn
