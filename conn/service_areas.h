#pragma once
// The service areas of the connection record: each service's per-connection
// fields, as plain structs. Other rooms read them (the access log reads the
// proxy's, the status page every one), so they live below every service.
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/socket.h"
#include "platform/thread.h"

namespace kv::conn {

inline constexpr std::size_t kRequestBufferSize = 10244;
inline constexpr std::size_t kResponseAreaOffset = 8193;  // second half of the request buffer
inline constexpr int kMaxHeaders = 50;                    // table size; 49 usable
inline constexpr std::size_t kUserNameSize = 32;

// Request kinds.
inline constexpr std::uint32_t kKindHttp = 0;
inline constexpr std::uint32_t kKindFtp = 1;
inline constexpr std::uint32_t kKindGopher = 2;
inline constexpr std::uint32_t kKindHttps = 3;

struct HeaderPair {
    char* name;
    char* value;
};

// The proxy's part of the service area; the access log and the status page read it.
struct ProxyFields {
    std::uint16_t dest_port{};
    char server_text[18]{};
    char request[kRequestBufferSize]{};
    std::uint32_t kind{};
    char* method{};
    char* scheme{};
    char* host{};
    char* ftp_user{};
    char* ftp_password{};
    char* path{};
    char* version{};
    HeaderPair headers[kMaxHeaders]{};
    int header_count{};
    char* body{};          // first byte after the head in `request`
    int body_length{};     // bytes of body already in `request`
    int cacheable{};
    int refresh{};
    int no_cache{};
    int via_parent{};
    int parsed{};
    unsigned char cache_key[16]{};
    int status{};
    int error{};           // socket error or 2, 3, 4, 100 (see proxy/)
    long long bytes_sent{};
    long long expected_size{};
    char user[kUserNameSize]{};
    platform::File cache_file;
    long long cache_read_at{};  // file offset of the next byte a cache hit sends
    int cache_read_done{};      // a short read of a finished object: nothing follows
    int writing_cache{};
    int follows_writer{};
    int discard{};
    int discard_on_abort{};
    char cache_path[512]{};
    // An ftp:// fetch's data connection and its active-mode listener: here, so
    // that a kill wakes them and the end of the record closes them.
    platform::Socket ftp_data;
    platform::Socket ftp_listener;
};

// Destination texts of the gateways and mapped links (status page).
struct GatewayFields {
    std::uint16_t dest_port{};
    char destination[256]{};
};

// The SOCKS server's part: the command the status page labels the destination
// with (the destination itself is in GatewayFields), and what a BIND or UDP
// ASSOCIATE holds besides the two sockets of the record, so that a connection
// that ends by a fault still closes and frees them with the record.
struct SocksFields {
    std::uint8_t command{};               // 1 connect, 2 bind, 3 UDP associate; 0 before the request
    platform::Socket listener;            // BIND: waiting for the peer
    platform::Socket udp;                 // UDP ASSOCIATE: the relay socket
    std::unique_ptr<unsigned char[]> datagram;  // UDP ASSOCIATE: one datagram and its header
};

// The FTP gateway's data channel: the listener a PORT or PASV made and the
// two sockets of one transfer. They live here, not on the handler's stack, so
// that a kill wakes them and a fault still closes them.
struct FtpFields {
    platform::Socket listener;
    platform::Socket near_side;  // accepted on the listener
    platform::Socket far_side;   // connected by the gateway
};

// The RealAudio gateway's UDP forwarding: its two datagram sockets, its
// buffer and its thread. They live in the record so that a connection that
// ends by a fault still stops the thread before the sockets close: the
// destructor stops it by flag and shutdown() and joins it, and only then do
// the members close their descriptors.
struct RealAudioFields {
    platform::Socket to_player;          // connected to the player's UDP port
    platform::Socket from_server;        // bound to a port the system chose; the server sends there
    in_addr server_addr{};               // only the server's datagrams are passed on
    std::unique_ptr<char[]> datagram;    // one datagram, never cut
    std::atomic<bool> stop{false};
    platform::Thread forwarder;
    RealAudioFields() = default;
    RealAudioFields(const RealAudioFields&) = delete;
    RealAudioFields& operator=(const RealAudioFields&) = delete;
    ~RealAudioFields() { stop_forwarding(); }
    // Owner only: ends the forwarding thread (when one runs) and waits for it.
    void stop_forwarding();
};

// The mail services' per-session state, allocated by the session and owned
// here: freeing the record frees it even when the fault guard skipped the
// handler's destructors.
struct SessionFree {
    void (*release)(void*){};
    void operator()(void* p) const {
        if (p && release) release(p);
    }
};
using MailSession = std::unique_ptr<void, SessionFree>;
struct MailFields {
    MailSession session;
};

}  // namespace kv::conn
