#include "gateways/socks_messages.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/bounded_text.h"

namespace kv::gateways {
namespace {

std::uint16_t port_at(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void dotted(const unsigned char* address, char* out, std::size_t size) {
    platform::format_bounded(out, size, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

// A name from the wire: cut at its first NUL for display; usable only when
// it is not empty and holds no NUL.
bool copy_name(const unsigned char* name, std::size_t n, char* out, std::size_t size) {
    const void* nul = std::memchr(name, '\0', n);
    const std::size_t shown = nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - name) : n;
    const std::size_t kept = shown < size ? shown : size - 1;
    std::memcpy(out, name, kept);
    out[kept] = '\0';
    return n > 0 && !nul;
}

}  // namespace

int parse_v4_request(const unsigned char (&bytes)[kV4RequestSize], SocksRequest* out) {
    out->version = 4;
    out->command = bytes[0];
    out->port = port_at(bytes + 1);
    out->address_type = kAddressIpv4;
    set_ipv4_host(bytes + 3, out);
    return out->command == kCommandConnect || out->command == kCommandBind;
}

std::size_t scan_user_id(const unsigned char* bytes, std::size_t n, std::size_t already_taken, bool* complete,
                         bool* too_long) {
    *complete = false;
    *too_long = false;
    const void* nul = std::memchr(bytes, '\0', n);
    const std::size_t characters = nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - bytes) : n;
    if (already_taken + characters > kUserIdLimit) {
        *too_long = true;
        return 0;
    }
    if (!nul) return n;
    *complete = true;
    return characters + 1;
}

bool offers_password_method(const unsigned char* methods, std::size_t count) {
    return std::memchr(methods, kMethodPassword, count) != nullptr;
}

void set_ipv4_host(const unsigned char* address, SocksRequest* out) {
    dotted(address, out->host, sizeof out->host);
    out->name_usable = true;
}

void set_name_host(const unsigned char* name, std::size_t n, SocksRequest* out) {
    out->name_usable = copy_name(name, n, out->host, sizeof out->host);
}

void v4_reply(std::uint8_t code, in_addr_t address, in_port_t port, unsigned char (&out)[kV4ReplySize]) {
    out[0] = 0;
    out[1] = code;
    std::memcpy(out + 2, &port, 2);
    std::memcpy(out + 4, &address, 4);
}

void v5_reply(std::uint8_t code, in_addr_t address, in_port_t port, unsigned char (&out)[kV5ReplySize]) {
    out[0] = 5;
    out[1] = code;
    out[2] = 0;
    out[3] = kAddressIpv4;
    std::memcpy(out + 4, &address, 4);
    std::memcpy(out + 8, &port, 2);
}

UdpVerdict parse_udp_header(const unsigned char* d, std::size_t n, UdpDestination* out) {
    // Reserved (2), fragment, address type: the least any header has.
    if (n < 4) return UdpVerdict::kShort;
    if (d[2] != 0) return UdpVerdict::kFragment;
    if (d[3] == kAddressIpv4) {
        if (n < 10) return UdpVerdict::kShort;
        dotted(d + 4, out->host, sizeof out->host);
        out->port = port_at(d + 8);
        out->header_size = 10;
        return UdpVerdict::kSend;
    }
    if (d[3] != kAddressName) return UdpVerdict::kUnknownType;
    if (n < 5) return UdpVerdict::kShort;
    const std::size_t length = d[4];
    const std::size_t header = length + 7;
    if (n < header) return UdpVerdict::kShort;
    if (!copy_name(d + 5, length, out->host, sizeof out->host)) return UdpVerdict::kBadName;
    out->port = port_at(d + 5 + length);
    out->header_size = header;
    return UdpVerdict::kSend;
}

void udp_reply_header(in_addr_t source, in_port_t port, unsigned char (&out)[kUdpReplyHeaderSize]) {
    out[0] = 0;
    out[1] = 0;
    out[2] = 0;
    out[3] = kAddressIpv4;
    std::memcpy(out + 4, &source, 4);
    std::memcpy(out + 8, &port, 2);
}

}  // namespace kv::gateways
