#pragma once
// The connection record: one zero-filled block per accepted connection that
// holds every buffer its handler needs. The connection thread owns it; freeing
// it closes both sockets and the cache file.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/socket.h"

namespace kv::host {

inline constexpr std::size_t kWorkBufferSize = 8194;
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
    int writing_cache{};
    int follows_writer{};
    int discard{};
    int discard_on_abort{};
    char cache_path[512]{};
};

// Destination texts of the gateways and mapped links (status page).
struct GatewayFields {
    std::uint16_t dest_port{};
    char destination[256]{};
};

struct ConnectionRecord {
    platform::Socket client;
    platform::Socket server;
    char client_host[68]{};
    sockaddr_in client_addr{};
    sockaddr_in local_addr{};
    char client_text[18]{};
    char interface_text[18]{};
    std::uint16_t client_port{};
    std::uint16_t local_port{};
    std::uint16_t service_port{};
    char work[kWorkBufferSize]{};
    volatile int progress{};
    std::atomic<int>* dial_use{};
    int slot{};
    // Guards replacing or closing a socket against a kill's shutdown from
    // another thread, so a descriptor number is never touched after reuse.
    std::mutex socket_lock;
    ProxyFields proxy;
    GatewayFields gateway;
};

// Host name when the reverse lookup gave one, else the address text.
inline const char* display_name(const ConnectionRecord& r) {
    return r.client_host[0] ? r.client_host : r.client_text;
}

// Owner-side socket changes, safe against a concurrent kill.
void set_server_socket(ConnectionRecord& r, platform::Socket s);
void close_server_socket(ConnectionRecord& r);
void close_client_socket(ConnectionRecord& r);
// Any thread: wakes the owner's blocked socket calls.
void shutdown_sockets(ConnectionRecord& r);

}  // namespace kv::host
