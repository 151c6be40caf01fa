// The administration server: its own listener on AdminPort and one thread that
// accepts and serves admin requests one after another, to the end.
#include "admin/admin_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "admin/admin_request.h"
#include "admin/admin_router.h"
#include "config/access_control.h"
#include "config/settings.h"
#include "dns/resolver.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/line_io.h"
#include "net/listener.h"
#include "net/outbound_connect.h"
#include "net/page_writer.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/install_dir.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "platform/thread.h"

namespace kv::admin {
namespace {

constexpr std::size_t kAdminStackSize = 512 * 1024;  // pages keep line buffers on the stack
// A client that connects and sends nothing must not hold the one admin thread.
constexpr int kRequestTimeoutSeconds = 30;
constexpr unsigned kHostNameKept = 65;  // 64 characters + NUL
constexpr const char* kBlankLine = "\r\n\r\n";

RestartHook g_restart_hook = nullptr;
AdminState g_state;
platform::Socket g_listener;
platform::Thread g_thread;
std::atomic<bool> g_stopping{false};
// The client socket of the request being served, so admin stop can wake it.
std::mutex g_current_lock;
AdminRequest* g_current = nullptr;

void set_current(AdminRequest* r) {
    std::lock_guard<std::mutex> guard(g_current_lock);
    g_current = r;
}

// Reads the head into r.request, up to and including the first blank line
// (anything after it is dropped). 0 when the client closes, the receive fails,
// 8192 bytes pass without a blank line, or the whole head has not arrived
// within the request time: a client sending a byte now and then must not hold
// the one admin thread any longer than a silent one.
int read_request(AdminRequest& r) {
    const int fd = r.conn.client.get();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kRequestTimeoutSeconds);
    std::size_t got = 0;
    while (got < kAdminRequestSize) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return 0;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return 0;
        const ssize_t n = ::recv(fd, r.request + got, kAdminRequestSize - got, 0);
        if (n <= 0) return 0;
        // The blank line may straddle the previous block.
        const std::size_t from = got >= 3 ? got - 3 : 0;
        got += static_cast<std::size_t>(n);
        r.request[got] = '\0';
        const void* end = memmem(r.request + from, got - from, kBlankLine, 4);
        if (end) {
            r.request[static_cast<const char*>(end) - r.request + 4] = '\0';
            return 1;
        }
    }
    return 0;
}

void log_access(AdminRequest& r, const std::string& path) {
    if (!config::live().LogAccess) return;
    log::AccessEntry e{conn::display_name(r.conn), r.user, r.method, r.scheme, r.host, path.c_str(), r.status, 0};
    log::access(e, r.conn.work, sizeof r.conn.work);
}

void serve(int fd, const sockaddr_in& client) {
    std::unique_ptr<AdminRequest> r(new (std::nothrow) AdminRequest());
    if (!r) {
        platform::close_fd(fd);
        return;
    }
    r->conn.client.reset(fd);
    r->conn.client_addr = client;
    socklen_t len = sizeof r->conn.local_addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&r->conn.local_addr), &len);
    net::address_text(r->conn.local_addr.sin_addr, r->conn.interface_text);
    net::address_text(client.sin_addr, r->conn.client_text);
    r->conn.client_port = ntohs(client.sin_port);
    r->conn.local_port = ntohs(r->conn.local_addr.sin_port);

    const config::Settings& cfg = config::live();
    if (!config::interface_is_secure(cfg, r->conn.interface_text)) return;
    if (!config::address_allowed(cfg.lists, r->conn.client_text)) {
        if (cfg.LogSecurity)
            log::security("Host \"%s\" tried to access Korvanet on port %d", r->conn.client_text, r->conn.client_port);
        return;
    }
    net::set_io_timeouts(fd, kRequestTimeoutSeconds * 1000LL);
    if (cfg.ReverseLookup) (void)!dns::reverse_lookup(client.sin_addr, r->conn.client_host, kHostNameKept);

    set_current(r.get());
    if (!read_request(*r) || !parse_request(*r)) {
        set_current(nullptr);
        return;
    }
    // Logged as routed ("/admin/" as "/admin") and without the query: the
    // password forms carry passwords in it, and the pages may rewrite the path
    // while they work.
    fold_path(r->path);
    const std::string logged_path(r->path, std::strcspn(r->path, "?"));
    const int close_it = route_request(*r);
    set_current(nullptr);
    if (!close_it) (void)r->conn.client.release();  // another part of the system owns it now
    log_access(*r, logged_path);
}

void* accept_thread(void*) {
    net::AcceptPause pause;
    for (;;) {
        // A resting listener is polled for nothing: its shutdown at stop
        // still wakes the wait with a hang-up.
        const std::uint32_t now = platform::tick_ms();
        const bool resting = pause.resting(now);
        pollfd p{g_listener.get(), static_cast<short>(resting ? 0 : POLLIN), 0};
        const int ready = ::poll(&p, 1, resting ? pause.remaining_ms(now) : -1);
        if (g_stopping.load()) return nullptr;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) continue;  // the rest is over
        sockaddr_in client{};
        socklen_t len = sizeof client;
        const int fd = ::accept4(g_listener.get(), reinterpret_cast<sockaddr*>(&client), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            switch (net::classify_accept_error(err)) {
                case net::AcceptFailure::kNothingPending:
                    continue;  // the client went away first
                case net::AcceptFailure::kExhausted:
                    // The administrator must get in again once descriptors
                    // come back: rest, log once, never give up.
                    if (pause.note_exhausted(platform::tick_ms()) && !g_stopping.load())
                        log::error(log::kErrAdminAccept, 3, platform::wsa_from_errno(err), "can't accept admin connection");
                    continue;
                case net::AcceptFailure::kOther:
                    break;
            }
            if (!g_stopping.load())
                log::error(log::kErrAdminAccept, 3, platform::wsa_from_errno(err), "can't accept admin connection");
            return nullptr;
        }
        pause.note_accepted();
        serve(fd, client);
    }
}

}  // namespace

AdminState& state() { return g_state; }

void set_restart_hook(RestartHook hook) { g_restart_hook = hook; }

int request_restart(const std::atomic<int>* pending) { return g_restart_hook ? g_restart_hook(pending) : 0; }

void send_body_line(net::PageWriter& out) { out.addf("<BODY %s>\n", g_state.body_attribute); }

int start_admin_server() {
    if (g_state.started) return 0;
    config::load_settings(config::admin_copy());
    const std::time_t now = std::time(nullptr);
    gmtime_r(&now, &g_state.start_time);
    const config::Settings& cfg = config::live();
    g_listener = net::open_listener(static_cast<std::uint16_t>(cfg.AdminPort), SOCK_STREAM);
    if (!g_listener.valid()) {
        log::error(log::kErrAdminStart, 4, 0, "can't start web-admin interface");
        return 0;
    }
    platform::format_bounded(g_state.config_help_file, "%sconfig.htm", platform::install_dir());
    platform::copy_bounded(g_state.body_attribute,
                      cfg.UseBackground ? "background=\"/admin/images/background.gif\"" : "bgcolor=\"#c0c0c0\"");
    g_stopping = false;
    if (!g_thread.start(accept_thread, nullptr, kAdminStackSize)) {
        const int err = errno;
        log::error(log::kErrAdminStart2, 3, err, "can't start web-admin interface");
        log::error(log::kErrAdminStart, 4, 0, "can't start web-admin interface");
        g_listener.reset();
        return 0;
    }
    g_state.started = 1;
    return 1;
}

void stop_admin_server() {
    if (!g_state.started) return;
    g_stopping = true;
    // Wake the thread: in its wait for a connection, and in a request it serves.
    g_listener.shutdown_both();
    {
        std::lock_guard<std::mutex> guard(g_current_lock);
        if (g_current) g_current->conn.client.shutdown_both();
    }
    g_thread.join();
    g_listener.reset();
    g_state.started = 0;
}

}  // namespace kv::admin
