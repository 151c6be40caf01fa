#pragma once
// The connection record: one zero-filled block per accepted connection that
// holds every buffer its handler needs. The connection thread owns it; freeing
// it closes both sockets and the cache file.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "conn/service_areas.h"
#include "platform/socket.h"

namespace kv::conn {

inline constexpr std::size_t kWorkBufferSize = 8194;

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
    SocksFields socks;
    FtpFields ftp;
    MailFields mail;
    RealAudioFields realaudio;
};

// Host name when the reverse lookup gave one, else the address text.
inline const char* display_name(const ConnectionRecord& r) {
    return r.client_host[0] ? r.client_host : r.client_text;
}

// Owner-side socket changes, safe against a concurrent kill.
void set_server_socket(ConnectionRecord& r, platform::Socket s);
void close_server_socket(ConnectionRecord& r);
void close_client_socket(ConnectionRecord& r);
// Owner side: replaces one of the record's other sockets (the FTP data
// channel), safe against a concurrent kill.
void set_socket(ConnectionRecord& r, platform::Socket& field, platform::Socket s);
// Any thread: wakes the owner's blocked socket calls.
void shutdown_sockets(ConnectionRecord& r);

// A service's handler: runs one connection from start to end on its thread.
using Handler = int (*)(ConnectionRecord&);

}  // namespace kv::conn
