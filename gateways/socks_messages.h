#pragma once
// The SOCKS 4 and 5 messages as bytes: the fixed request fields, the user ID
// scan, the replies and the UDP association header. Pure functions over
// buffers, so the units and the fuzzer drive them without sockets; the server
// reads the fields with exact reads and hands them here.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace kv::gateways {

inline constexpr std::size_t kSocksHostSize = 256;      // a domain name of up to 255 bytes + NUL
inline constexpr std::size_t kSocksCredentialSize = 256;  // RFC 1929: up to 255 bytes + NUL
inline constexpr std::size_t kUserIdLimit = 255;        // version 4 user ID characters before its NUL
inline constexpr std::size_t kV4RequestSize = 7;        // command, port, address
inline constexpr std::size_t kV5RequestSize = 4;        // version, command, reserved, address type
inline constexpr std::size_t kV4ReplySize = 8;
inline constexpr std::size_t kV5ReplySize = 10;
inline constexpr std::size_t kUdpReplyHeaderSize = 10;

inline constexpr std::uint8_t kCommandConnect = 1;
inline constexpr std::uint8_t kCommandBind = 2;
inline constexpr std::uint8_t kCommandUdpAssociate = 3;

inline constexpr std::uint8_t kAddressIpv4 = 1;
inline constexpr std::uint8_t kAddressName = 3;
inline constexpr std::uint8_t kAddressIpv6 = 4;

// Reply codes.
inline constexpr std::uint8_t kV4Granted = 90;
inline constexpr std::uint8_t kV4Failed = 91;
inline constexpr std::uint8_t kV5Succeeded = 0;
inline constexpr std::uint8_t kV5GeneralFailure = 1;
inline constexpr std::uint8_t kV5NotAllowed = 2;

// Method negotiation.
inline constexpr std::uint8_t kMethodNone = 0;
inline constexpr std::uint8_t kMethodPassword = 2;
inline constexpr std::uint8_t kMethodRefused = 255;

// What a request asks for, as the server and the status page keep it.
struct SocksRequest {
    std::uint8_t version{};
    std::uint8_t command{};
    std::uint8_t address_type{};
    char host[kSocksHostSize]{};  // dotted address, or the name as sent (cut at a NUL)
    std::uint16_t port{};         // host order
    bool name_usable{};           // false for an empty name or one holding a NUL: never looked up
};

// The version 4 request after its version byte: command, port, address.
// Fills command, port and the dotted host; 1 for CONNECT and BIND, 0 for any
// other command (the caller logs it).
[[nodiscard]] int parse_v4_request(const unsigned char (&bytes)[kV4RequestSize], SocksRequest* out);

// Looks at the next bytes of a version 4 user ID (already_taken characters
// were taken before). Returns how many bytes to take: up to and including the
// NUL when it is among them (*complete set), else all of them. 0 with
// *too_long when the ID would pass kUserIdLimit characters without its NUL.
std::size_t scan_user_id(const unsigned char* bytes, std::size_t n, std::size_t already_taken, bool* complete,
                         bool* too_long);

// Whether the offered methods (count bytes) hold the user name and password method.
bool offers_password_method(const unsigned char* methods, std::size_t count);

// Stores an IPv4 address (4 bytes, network order) as dotted text.
void set_ipv4_host(const unsigned char* address, SocksRequest* out);
// Stores a domain name of n bytes; name_usable tells whether it may be looked up.
void set_name_host(const unsigned char* name, std::size_t n, SocksRequest* out);

// Replies; address and port in network order.
void v4_reply(std::uint8_t code, in_addr_t address, in_port_t port, unsigned char (&out)[kV4ReplySize]);
void v5_reply(std::uint8_t code, in_addr_t address, in_port_t port, unsigned char (&out)[kV5ReplySize]);

// The header of a datagram a client sends through its association.
struct UdpDestination {
    char host[kSocksHostSize]{};
    std::uint16_t port{};      // host order
    std::size_t header_size{};  // the payload starts here
};

enum class UdpVerdict {
    kSend,        // *out names where the payload goes
    kFragment,    // fragment byte not 0
    kUnknownType,  // address type neither 1 nor 3
    kShort,       // the datagram ends inside its header (or is empty)
    kBadName,     // an empty name, or one holding a NUL
};

// Reads the header of one client datagram of n bytes.
UdpVerdict parse_udp_header(const unsigned char* datagram, std::size_t n, UdpDestination* out);

// The 10-byte header put before a datagram that goes back to the client:
// 0, 0, 0, 1, the source address and port (network order).
void udp_reply_header(in_addr_t source, in_port_t port, unsigned char (&out)[kUdpReplyHeaderSize]);

}  // namespace kv::gateways
