#include "net/md5.h"

#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace kv::net {
namespace {

struct Vector {
    std::string_view in, hex;
};
// The reference suite for MD5.
constexpr Vector kVectors[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, ReferenceVectors) {
    for (std::size_t i = 0; i < std::size(kVectors); ++i) {
        char hex[33];
        md5_hex(kVectors[i].in.data(), kVectors[i].in.size(), hex);
        EXPECT_EQ(std::string_view(hex), kVectors[i].hex) << "row " << i;
    }
}

TEST(Md5, PiecewiseEqualsWhole) {
    // Split points around the 64-byte block and the 56-byte padding edge.
    for (std::size_t i = 0; i < std::size(kVectors); ++i) {
        const std::string_view in = kVectors[i].in;
        for (std::size_t cut : {std::size_t{1}, std::size_t{55}, std::size_t{56}, std::size_t{63}, std::size_t{64}}) {
            if (cut > in.size()) continue;
            Md5 m;
            md5_init(m);
            md5_update(m, in.data(), cut);
            md5_update(m, in.data() + cut, in.size() - cut);
            unsigned char digest[16];
            md5_final(m, digest);
            char hex[33];
            digest_to_hex(digest, hex);
            EXPECT_EQ(std::string_view(hex), kVectors[i].hex) << "row " << i << " cut " << cut;
        }
    }
}

TEST(Md5, LengthsAroundPadding) {
    // 55, 56 and 64 bytes change how the length is padded in; check against byte-wise updates.
    for (std::size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u}) {
        std::string in(len, 'q');
        unsigned char whole[16], bytewise[16];
        md5(in.data(), in.size(), whole);
        Md5 m;
        md5_init(m);
        for (char c : in) md5_update(m, &c, 1);
        md5_final(m, bytewise);
        EXPECT_EQ(std::memcmp(whole, bytewise, 16), 0) << "length " << len;
    }
    char hex[33];
    const std::string a1000(1000, 'a');
    md5_hex(a1000.data(), a1000.size(), hex);
    EXPECT_STREQ(hex, "cabe45dcc9ae5b66ba86600cca6b8ba8");
}

}  // namespace
}  // namespace kv::net
