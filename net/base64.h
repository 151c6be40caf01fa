#pragma once
// Base64 with the standard alphabet and '=' fill.
#include <cstddef>

namespace kv::net {

// Encodes n bytes into out (size bytes); empty result and 0 when it does not fit.
// Returns the encoded length.
std::size_t base64_encode(const void* data, std::size_t n, char* out, std::size_t size);
// The SMTP client's encoder: stops after the last whole group that fits.
std::size_t base64_encode_groups(const void* data, std::size_t n, char* out, std::size_t size);
// Skips leading blanks and tabs, stops at the first character outside the
// alphabet. Returns the decoded length (out is NUL-terminated; size includes it).
std::size_t base64_decode(const char* text, char* out, std::size_t size);
// The SMTP server's decoder: skips characters outside the alphabet, stops at '='.
std::size_t base64_decode_lenient(const char* text, char* out, std::size_t size);

}  // namespace kv::net
