#include "dns/forwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

#include "config/access_control.h"
#include "config/settings.h"
#include "dns/dns_message.h"
#include "dns/forward_table.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/datagram.h"
#include "net/listener.h"
#include "net/net_links.h"
#include "net/outbound_connect.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "platform/thread.h"

namespace kv::dns {
namespace {

constexpr std::uint16_t kDnsPort = 53;

struct Forwarder {
    platform::Socket socket;
    platform::Thread thread;
    std::atomic<bool> stopping{false};
    std::unique_ptr<std::uint8_t[]> buffer;  // on the heap: the thread's stack is small
    ForwardTable table{std::random_device{}()};
    sockaddr_in upstream{};
    bool upstream_known = false;
};

Forwarder* g_forwarder = nullptr;

using Received = net::Datagram;

// Returns 1 with a datagram, 0 on an empty one or a stop, -1 on an error.
int receive(Forwarder& f, Received* r) { return net::receive_datagram(f.socket.get(), f.buffer.get(), kDatagramSize, 0, r); }

// The rules for connections hold for queries too: the address asked must be
// a secure interface and the client an allowed address.
bool admitted(const Received& r) { return config::datagram_admitted(config::live(), r.local, r.from.sin_addr); }

bool resolve_upstream(Forwarder& f) {
    if (f.upstream_known) return true;
    const config::Settings& cfg = config::live();
    const net::NetLinks& links = net::net_links();
    int dial_failed = 0;
    in_addr addr{};
    const int found = links.lookup_with_dial ? links.lookup_with_dial(cfg.DnsServer, &addr, &dial_failed) : 0;
    if (!found) {
        log::error(log::kErrDnsServerName, 2, platform::last_socket_error(), "can't resolve DNS server name : %s",
                   cfg.DnsServer);
        return false;
    }
    f.upstream.sin_family = AF_INET;
    f.upstream.sin_port = htons(kDnsPort);
    f.upstream.sin_addr = addr;
    f.upstream_known = true;
    return true;
}

void put_id(std::uint8_t* msg, std::uint16_t id) {
    msg[0] = static_cast<std::uint8_t>(id >> 8);
    msg[1] = static_cast<std::uint8_t>(id & 0xFF);
}

// Sends the answer from the address its client asked. A failed send loses
// this answer only; the client asks again.
void send_answer(Forwarder& f, const Received& r, const ForwardEntry& e) {
    net::send_datagram_from(f.socket.get(), f.buffer.get(), r.len, e.client, e.local, 0);
}

void handle(Forwarder& f, const Received& r) {
    std::uint8_t* msg = f.buffer.get();
    if (r.len < kHeaderSize) return;
    if (!resolve_upstream(f)) return;
    switch (classify_datagram(msg, r.len, r.from, f.upstream)) {
        case Datagram::kDrop:
            return;
        case Datagram::kAnswer: {
            std::uint16_t id = 0;
            (void)message_id(msg, r.len, &id);
            ForwardEntry e;
            if (!f.table.take(id, &e)) return;
            put_id(msg, e.client_id);
            send_answer(f, r, e);
            return;
        }
        case Datagram::kQuery: {
            if (!admitted(r)) return;
            std::uint16_t client_id = 0;
            (void)message_id(msg, r.len, &client_id);
            put_id(msg, f.table.insert(client_id, r.from, r.local));
            (void)::sendto(f.socket.get(), msg, r.len, 0, reinterpret_cast<const sockaddr*>(&f.upstream),
                           sizeof f.upstream);
            return;
        }
    }
}

void* forwarder_thread(void* arg) {
    Forwarder& f = *static_cast<Forwarder*>(arg);
    while (!f.stopping.load()) {
        Received r;
        const int got = receive(f, &r);
        if (f.stopping.load()) break;
        if (got > 0) {
            handle(f, r);
        } else if (got < 0 && errno != EINTR) {
            log::error(log::kErrDnsReceive, 1, platform::capture_socket_error(), "failed to receive DNS info");
        }
        // An empty datagram is dropped.
    }
    return nullptr;
}

}  // namespace

int start_forwarder() {
    if (g_forwarder) return 1;
    auto f = std::make_unique<Forwarder>();
    f->socket = net::open_listener(kDnsPort, SOCK_DGRAM);
    if (!f->socket.valid()) {
        log::error(log::kErrDnsForwarderStart, 4, platform::last_socket_error(), "can't start DNS forwarder");
        return 0;
    }
    net::want_local_address(f->socket.get());
    f->buffer = std::make_unique<std::uint8_t[]>(kDatagramSize);
    f->table.clear();
    Forwarder* raw = f.release();
    if (!raw->thread.start(forwarder_thread, raw, kForwarderStack)) {
        log::error(log::kErrDnsThread, 4, 0, "can't create thread");
        delete raw;  // closes the socket
        return 0;
    }
    g_forwarder = raw;
    return 1;
}

void stop_forwarder() {
    if (!g_forwarder) return;
    g_forwarder->stopping.store(true);
    // On a UDP socket this fails with "not connected" but still wakes the
    // receive, which returns 0; the thread sees the flag and ends.
    g_forwarder->socket.shutdown_both();
    g_forwarder->thread.join();
    delete g_forwarder;
    g_forwarder = nullptr;
}

}  // namespace kv::dns
