#include "conn/connection_record.h"

namespace kv::conn {

void set_server_socket(ConnectionRecord& r, platform::Socket s) {
    std::lock_guard<std::mutex> guard(r.socket_lock);
    r.server = std::move(s);
}

void close_server_socket(ConnectionRecord& r) {
    std::lock_guard<std::mutex> guard(r.socket_lock);
    r.server.reset();
}

void close_client_socket(ConnectionRecord& r) {
    std::lock_guard<std::mutex> guard(r.socket_lock);
    r.client.reset();
}

void set_socket(ConnectionRecord& r, platform::Socket& field, platform::Socket s) {
    std::lock_guard<std::mutex> guard(r.socket_lock);
    field = std::move(s);
}

void shutdown_sockets(ConnectionRecord& r) {
    std::lock_guard<std::mutex> guard(r.socket_lock);
    r.client.shutdown_both();
    r.server.shutdown_both();
    r.proxy.ftp_data.shutdown_both();
    r.proxy.ftp_listener.shutdown_both();
    r.ftp.listener.shutdown_both();
    r.ftp.near_side.shutdown_both();
    r.ftp.far_side.shutdown_both();
}

void RealAudioFields::stop_forwarding() {
    if (!forwarder.running()) return;
    stop.store(true);
    // shutdown() wakes the thread's wait even on the unconnected socket.
    from_server.shutdown_both();
    to_player.shutdown_both();
    forwarder.join();
}

}  // namespace kv::conn
