#include "net/md5.h"

#include <cstring>

namespace kv::net {
namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void transform(std::uint32_t state[4], const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<std::uint32_t>(block[i * 4]) | static_cast<std::uint32_t>(block[i * 4 + 1]) << 8 |
               static_cast<std::uint32_t>(block[i * 4 + 2]) << 16 | static_cast<std::uint32_t>(block[i * 4 + 3]) << 24;
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        std::uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + kSine[i] + x[g], kShift[i]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void md5_init(Md5& m) {
    m.state[0] = 0x67452301;
    m.state[1] = 0xefcdab89;
    m.state[2] = 0x98badcfe;
    m.state[3] = 0x10325476;
    m.bits = 0;
    std::memset(m.buffer, 0, sizeof m.buffer);
}

void md5_update(Md5& m, const void* data, std::size_t n) {
    if (n == 0) return;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::size_t used = static_cast<std::size_t>((m.bits / 8) % 64);
    m.bits += static_cast<std::uint64_t>(n) * 8;
    if (used) {
        std::size_t take = 64 - used < n ? 64 - used : n;
        std::memcpy(m.buffer + used, p, take);
        p += take;
        n -= take;
        if (used + take < 64) return;
        transform(m.state, m.buffer);
    }
    for (; n >= 64; p += 64, n -= 64) transform(m.state, p);
    if (n) std::memcpy(m.buffer, p, n);
}

void md5_final(Md5& m, unsigned char digest[16]) {
    unsigned char length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(m.bits >> (8 * i));
    std::size_t used = static_cast<std::size_t>((m.bits / 8) % 64);
    static constexpr unsigned char kPad[64] = {0x80};
    std::size_t pad = used < 56 ? 56 - used : 120 - used;
    md5_update(m, kPad, pad);
    md5_update(m, length, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<unsigned char>(m.state[i] >> (8 * j));
    md5_init(m);  // no digest state is left behind
}

void md5(const void* data, std::size_t n, unsigned char digest[16]) {
    Md5 m;
    md5_init(m);
    md5_update(m, data, n);
    md5_final(m, digest);
}

void digest_to_hex(const unsigned char digest[16], char out[33]) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[i * 2] = kHex[digest[i] >> 4];
        out[i * 2 + 1] = kHex[digest[i] & 15];
    }
    out[32] = '\0';
}

void md5_hex(const void* data, std::size_t n, char out[33]) {
    unsigned char digest[16];
    md5(data, n, digest);
    digest_to_hex(digest, out);
}

}  // namespace kv::net
