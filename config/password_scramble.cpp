// Scrambling of the passwords kept in the registry. Neither form is encryption:
// they only keep a password from being read at a glance in the settings file.
#include <cstring>

#include "config/settings.h"

namespace kv::config {
namespace {

// Longest POP3 password that is stored: 30 bytes of key, and the scrambled form
// (two hex digits a byte) must fit the 61-byte password field on load.
constexpr std::size_t kPop3PasswordMax = 30;
constexpr unsigned char kPop3Key[kPop3PasswordMax] = {
    0xA7, 0x3C, 0xD1, 0x58, 0x9E, 0x62, 0xF4, 0x0B, 0xC9, 0x85, 0x1D, 0xB6, 0x4F, 0xE3, 0x70,
    0x2A, 0x96, 0xDB, 0x13, 0x6E, 0xB8, 0x47, 0xFC, 0x31, 0x8A, 0xD5, 0x09, 0x64, 0xAF, 0xC2,
};
// Appended to passwords shorter than five bytes so the stored form does not
// give away their length. Control bytes that no typed password contains, so
// cutting at the marker on load never shortens a real password.
constexpr char kPop3PadMarker[] = "\x01\x1f\x02\x1e\x03";
constexpr std::size_t kPop3PadLength = 5;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes hex pairs into bytes; false (bytes untouched) unless the whole text is
// pairs of hex digits and fits max bytes.
bool decode_hex(const char* text, unsigned char* bytes, std::size_t max, std::size_t* count) {
    std::size_t len = std::strlen(text);
    if (len % 2 != 0 || len / 2 > max) return false;
    for (std::size_t i = 0; i < len; i += 2) {
        int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[i / 2] = static_cast<unsigned char>(hi * 16 + lo);
    }
    *count = len / 2;
    return true;
}

// Writes bytes as lowercase hex into text (capacity bytes incl. NUL); cuts at a
// whole byte when it would not fit.
void encode_hex(const unsigned char* bytes, std::size_t count, char* text, std::size_t capacity) {
    static const char kDigits[] = "0123456789abcdef";
    std::size_t out = 0;
    for (std::size_t i = 0; i < count && out + 2 < capacity; ++i) {
        text[out++] = kDigits[bytes[i] >> 4];
        text[out++] = kDigits[bytes[i] & 0x0f];
    }
    if (capacity > 0) text[out] = '\0';
}

}  // namespace

// A password longer than 30 bytes is cut to 30 here: every stored password then
// loads back exactly as it is stored.
void scramble_pop3_password(char* text, std::size_t capacity) {
    if (capacity == 0) return;
    std::size_t len = strnlen(text, capacity - 1);
    if (len == 0) return;
    if (len > kPop3PasswordMax) len = kPop3PasswordMax;
    unsigned char bytes[kPop3PasswordMax];
    std::memcpy(bytes, text, len);
    if (len < kPop3PadLength) {
        std::memcpy(bytes + len, kPop3PadMarker, kPop3PadLength);
        len += kPop3PadLength;
    }
    for (std::size_t i = 0; i < len; ++i) bytes[i] ^= kPop3Key[i];
    encode_hex(bytes, len, text, capacity);
}

// A text that is not a scrambled form (odd length, not hex, too long) is left as
// it is: it can only be a password an admin wrote into the file by hand.
void unscramble_pop3_password(char* text, std::size_t capacity) {
    if (capacity == 0) return;
    text[strnlen(text, capacity - 1)] = '\0';
    unsigned char bytes[kPop3PasswordMax];
    std::size_t count = 0;
    if (!decode_hex(text, bytes, kPop3PasswordMax, &count)) return;
    for (std::size_t i = 0; i < count; ++i) bytes[i] ^= kPop3Key[i];
    // Only a short password was padded, and its marker ends the stored form:
    // marker bytes anywhere else belong to the password.
    std::size_t len = count;
    if (count >= kPop3PadLength && count < 2 * kPop3PadLength &&
        std::memcmp(bytes + count - kPop3PadLength, kPop3PadMarker, kPop3PadLength) == 0)
        len = count - kPop3PadLength;
    if (len >= capacity) len = capacity - 1;
    std::memcpy(text, bytes, len);
    text[len] = '\0';
    text[strnlen(text, len)] = '\0';  // a NUL byte inside ends the text
}

// Each byte's complement as two hex digits; a password longer than half the
// capacity is cut so its scrambled form fits.
void scramble_dial_password(char* text, std::size_t capacity) {
    if (capacity == 0) return;
    std::size_t len = strnlen(text, capacity - 1);
    if (len > (capacity - 1) / 2) len = (capacity - 1) / 2;
    // Work from the end so the in-place expansion never overwrites unread bytes.
    text[2 * len] = '\0';
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = len; i-- > 0;) {
        unsigned char c = static_cast<unsigned char>(~static_cast<unsigned char>(text[i]));
        text[2 * i] = kDigits[c >> 4];
        text[2 * i + 1] = kDigits[c & 0x0f];
    }
}

void unscramble_dial_password(char* text, std::size_t capacity) {
    if (capacity == 0) return;
    std::size_t len = strnlen(text, capacity - 1);
    text[len] = '\0';
    if (len % 2 != 0) return;
    for (std::size_t i = 0; i < len; ++i)
        if (hex_value(text[i]) < 0) return;  // not a scrambled form: keep it
    for (std::size_t i = 0; i < len; i += 2) {
        int v = hex_value(text[i]) * 16 + hex_value(text[i + 1]);
        text[i / 2] = static_cast<char>(~v & 0xff);
    }
    text[len / 2] = '\0';
    text[strnlen(text, len / 2)] = '\0';
}

}  // namespace kv::config
