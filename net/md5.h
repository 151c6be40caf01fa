#pragma once
// MD5 message digest.
#include <cstddef>
#include <cstdint>

namespace kv::net {

struct Md5 {
    std::uint32_t state[4];
    std::uint64_t bits;
    unsigned char buffer[64];
};
void md5_init(Md5& m);
void md5_update(Md5& m, const void* data, std::size_t n);
void md5_final(Md5& m, unsigned char digest[16]);

void md5(const void* data, std::size_t n, unsigned char digest[16]);
// 32 lowercase hex digits + NUL.
void md5_hex(const void* data, std::size_t n, char out[33]);
void digest_to_hex(const unsigned char digest[16], char out[33]);

}  // namespace kv::net
