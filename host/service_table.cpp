#include "host/service_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "config/access_control.h"
#include "config/settings.h"
#include "dns/resolver.h"
#include "gateways/ftp_gateway.h"
#include "gateways/line_tunnel.h"
#include "gateways/mapped_links.h"
#include "gateways/realaudio_gateway.h"
#include "gateways/socks_server.h"
#include "host/connection_threads.h"
#include "conn/record_dump.h"
#include "conn/task_table.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "mail/mail_schedule.h"
#include "mail/pop3_server.h"
#include "mail/smtp_server.h"
#include "net/line_io.h"
#include "net/listener.h"
#include "net/socket_options.h"
#include "net/outbound_connect.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/fault_guard.h"
#include "platform/file_io.h"
#include "platform/socket_error.h"
#include "platform/thread.h"
#include "proxy/request_intake.h"

namespace kv::host {
namespace {

ServiceRow g_rows[kMaxRows];
int g_row_count = 0;
std::atomic<bool> g_started{false};  // the restart thread may stop what the main thread started
platform::Thread g_accept_thread;
platform::Socket g_wake;  // eventfd that ends the accept thread's wait

constexpr unsigned kStopWaitMs = 400;
constexpr unsigned kLowMemoryWaitMs = 1000;
constexpr int kAcceptBurst = 16;

#ifdef KV_TEST_BUILD
// A service that faults on purpose, so tests can see one connection fail alone.
__attribute__((no_sanitize("address", "undefined"))) int fault_on_purpose(conn::ConnectionRecord& r) {
    r.progress = 7;
    volatile std::uintptr_t address = 16;  // unmapped, and hidden from the optimiser
    volatile int* nowhere = reinterpret_cast<volatile int*>(address);
    *nowhere = 1;
    return 0;
}

// The same after reading one line, so the dump holds what a client sent.
__attribute__((no_sanitize("address", "undefined"))) int fault_after_line(conn::ConnectionRecord& r) {
    (void)net::read_line(r.client.get(), r.work);
    return fault_on_purpose(r);
}

// Services that break the sanitizers' rules on purpose, so tests can see the
// reports fail a run: one leaks a block, one reads a byte past its block.
int leak_on_purpose(conn::ConnectionRecord& r) {
    void* volatile lost = std::malloc(4000);
    static_cast<char*>(lost)[0] = 1;
    lost = nullptr;
    conn::close_client_socket(r);
    return 1;
}

int overflow_on_purpose(conn::ConnectionRecord& r) {
    char* volatile block = static_cast<char*>(std::calloc(16, 1));
    // Read into a volatile, so no optimiser drops the access before the free.
    const volatile int past_end = 16;
    volatile char seen = block[past_end];
    (void)seen;
    std::free(block);
    conn::close_client_socket(r);
    return 1;
}

// Echoes lines until the client closes: a service that holds its connection.
int echo_lines(conn::ConnectionRecord& r) {
    r.progress = 1;
    while (net::read_line(r.client.get(), r.work)) {
        if (!net::send_text(r.client.get(), r.work) || !net::send_text(r.client.get(), "\n")) break;
    }
    conn::close_client_socket(r);
    return 1;
}

// Test rows: "KORVANET_TEST_FAULT_PORT=p", "KORVANET_TEST_FAULT_LINE_PORT=p", "KORVANET_TEST_LEAK_PORT=p",
// "KORVANET_TEST_OVERFLOW_PORT=p" and "KORVANET_TEST_ECHO_PORTS=p1,p2".
void register_test_rows() {
    struct {
        const char* variable;
        const char* name;
        int (*handler)(conn::ConnectionRecord&);
    } const single_rows[] = {
        {"KORVANET_TEST_FAULT_PORT", "FAULT TEST", fault_on_purpose},
        {"KORVANET_TEST_FAULT_LINE_PORT", "FAULT TEST", fault_after_line},
        {"KORVANET_TEST_LEAK_PORT", "LEAK TEST", leak_on_purpose},
        {"KORVANET_TEST_OVERFLOW_PORT", "OVERFLOW TEST", overflow_on_purpose},
    };
    for (const auto& row : single_rows)
        if (const char* port = std::getenv(row.variable))
            (void)register_service(static_cast<std::uint16_t>(std::atoi(port)), row.name, nullptr, nullptr,
                                   row.handler);
    if (const char* ports = std::getenv("KORVANET_TEST_ECHO_PORTS")) {
        for (const char* p = ports; *p;) {
            int port = std::atoi(p);
            if (port > 0) (void)register_service(static_cast<std::uint16_t>(port), "ECHO TEST", nullptr, nullptr, echo_lines);
            const char* comma = std::strchr(p, ',');
            if (!comma) break;
            p = comma + 1;
        }
    }
}
#endif

// Appends the record, credentials blanked, to dump.bin in the logs directory.
void dump_record(const conn::ConnectionRecord& r) {
    char path[600];
    log::log_path("dump.bin", path, sizeof path);
    (void)conn::append_record_dump(r, path);
}

struct GuardedCall {
    Handler handler;
    conn::ConnectionRecord* record;
};

void call_handler(void* arg) {
    auto* call = static_cast<GuardedCall*>(arg);
    call->handler(*call->record);
}

// The calling thread's id, asked of the kernel once per thread: a parked
// thread serves many connections.
long own_thread_id() {
    thread_local const long id = static_cast<long>(syscall(SYS_gettid));
    return id;
}

void serve_connection(int index) {
    conn::TaskSlot& s = conn::slot(index);
    s.thread_id.store(own_thread_id());
    conn::ConnectionRecord* rec = s.record;
    if (!log::stopping()) {
        const config::Settings& cfg = config::live();
        if (cfg.ReverseLookup)
            (void)!dns::reverse_lookup(rec->client_addr.sin_addr, rec->client_host, 65);
        GuardedCall call{s.handler, rec};
        std::uint32_t code = platform::run_guarded(call_handler, &call);
        if (code != 0) {
            conn::close_client_socket(*rec);
            conn::close_server_socket(*rec);
            log::error(log::kErrServiceException, 4, 0, "Service %s caused an exception nr. %lu, point %d",
                       s.service_name, static_cast<unsigned long>(code), rec->progress);
            dump_record(*rec);
        }
    }
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.record = nullptr;
    }
    delete rec;  // closes whatever sockets the handler left open
    conn::release_slot(index);
}

// The interface and allowed-address checks; logs refused clients.
bool admit(const ServiceRow& row, const conn::ConnectionRecord& r) {
    const config::Settings& cfg = config::live();
    // Any host may deliver mail to the mail server.
    if (cfg.MailType == 1 && row.port == cfg.SmtpServerPort) return true;
    if (config::interface_is_secure(cfg, r.interface_text)) {
        if (config::address_allowed(cfg.lists, r.client_text)) return true;
        if (cfg.LogSecurity)
            log::security("Host \"%s\" tried to access Korvanet on port %d", r.client_text, r.local_port);
        return false;
    }
    if (cfg.LogSecurity && std::strcmp(r.interface_text, "0.0.0.0") != 0)
        log::security("Host \"%s\" tried to access Korvanet on port %d via insecure interface \"%s\"",
                      r.client_text, r.local_port, r.interface_text);
    return false;
}

enum class Accepted { kTaken, kNone, kExhausted };

// A zero-filled record tied to the free slot `index` and the row.
conn::ConnectionRecord* new_record(const ServiceRow& row, int index) {
    auto* rec = new (std::nothrow) conn::ConnectionRecord{};
    if (!rec) return nullptr;
    conn::TaskSlot& s = conn::slot(index);
    s.dial_use = 0;
    s.start_tick = platform::tick_ms();
    s.handler = row.handler;
    platform::copy_bounded(s.service_name, row.name);
    rec->dial_use = &s.dial_use;
    rec->service_port = row.port;
    rec->slot = index;
    return rec;
}

// What a failed accept means: nothing pending (a client that went away first
// is not worth an entry), or the system out of descriptors or memory (one
// entry for the episode while the listener rests), or anything else.
Accepted accept_failed(ServiceRow& row, int err) {
    switch (net::classify_accept_error(err)) {
        case net::AcceptFailure::kNothingPending: return Accepted::kNone;
        case net::AcceptFailure::kExhausted:
            if (row.pause.note_exhausted(platform::tick_ms()))
                log::error(log::kErrAccept, 3, platform::wsa_from_errno(err), "failed to accept connection");
            return Accepted::kExhausted;
        case net::AcceptFailure::kOther: break;
    }
    log::error(log::kErrAccept, 3, platform::wsa_from_errno(err), "failed to accept connection");
    return Accepted::kNone;
}

void fill_addresses(conn::ConnectionRecord& rec) {
    socklen_t len = sizeof rec.local_addr;
    getsockname(rec.client.get(), reinterpret_cast<sockaddr*>(&rec.local_addr), &len);
    net::address_text(rec.client_addr.sin_addr, rec.client_text);
    net::address_text(rec.local_addr.sin_addr, rec.interface_text);
    rec.client_port = ntohs(rec.client_addr.sin_port);
    rec.local_port = ntohs(rec.local_addr.sin_port);
}

// Marks the slot in use and runs the connection on its thread; without a
// thread the connection is closed and the slot freed, silently.
void start_connection(int index, conn::ConnectionRecord* rec) {
    conn::TaskSlot& s = conn::slot(index);
    s.serial = conn::next_serial();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.record = rec;
    }
    s.in_use.store(1, std::memory_order_release);
    if (run_on_connection_thread(serve_connection, index)) return;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.record = nullptr;
    }
    delete rec;
    conn::release_slot(index);
}

// Accepts one pending connection of the row: kTaken when one was taken
// (served or refused), kNone when none was pending (or the server stops),
// kExhausted when the system had no descriptor or memory for it.
Accepted accept_one(ServiceRow& row) {
    const int index = conn::free_slot_index(log::stopping);
    if (index < 0) return Accepted::kNone;
    conn::ConnectionRecord* rec = new_record(row, index);
    if (!rec) {
        log::error(log::kErrLowMemory, 3, 0, "low memory");
        platform::sleep_ms(kLowMemoryWaitMs);
        return Accepted::kNone;
    }
    socklen_t len = sizeof rec->client_addr;
    const int fd = ::accept4(row.listener.get(), reinterpret_cast<sockaddr*>(&rec->client_addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        delete rec;
        return accept_failed(row, err);
    }
    row.pause.note_accepted();
    rec->client.reset(fd);
    fill_addresses(*rec);
    if (!admit(row, *rec)) {
        delete rec;
        return Accepted::kTaken;
    }
    start_connection(index, rec);
    return Accepted::kTaken;
}

// Takes what a burst left queued before waiting again.
void accept_burst(ServiceRow& row) {
    for (int taken = 0; taken < kAcceptBurst; ++taken)
        if (accept_one(row) != Accepted::kTaken) return;
}

void* accept_thread(void*) {
    pollfd fds[kMaxRows + 1];
    int row_of[kMaxRows + 1];
    for (;;) {
        // The stop eventfd is always polled, so a stop is seen at once even
        // while every listener rests.
        int n = 0;
        int wait_ms = -1;
        fds[n] = {g_wake.get(), POLLIN, 0};
        row_of[n++] = -1;
        const std::uint32_t now = platform::tick_ms();
        for (int i = 0; i < g_row_count; ++i) {
            if (!g_rows[i].listener.valid()) continue;
            if (g_rows[i].pause.resting(now)) {
                wait_ms = net::shorter_wait(wait_ms, g_rows[i].pause.remaining_ms(now));
                continue;
            }
            fds[n] = {g_rows[i].listener.get(), POLLIN, 0};
            row_of[n++] = i;
        }
        int ready = ::poll(fds, static_cast<nfds_t>(n), wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            if (!log::stopping())
                log::error(log::kErrSelectFailed, 4, platform::wsa_from_errno(errno), "select failed, Services stopped.");
            return nullptr;
        }
        if (fds[0].revents || log::stopping()) return nullptr;
        for (int k = 1; k < n; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            accept_burst(g_rows[row_of[k]]);
            if (log::stopping()) return nullptr;
        }
    }
}

void register_mail_rows(const config::Settings& s) {
    if (s.MailType == 0) {
        if (!s.SMTPServer[0])
            log::error(log::kErrGatewaySmtpNotSet, 4, 0, "can't start SMTP/POP3 Gateway : SMTP server is not set");
        if (!s.POP3Server[0])
            log::error(log::kErrGatewayPop3NotSet, 4, 0, "can't start SMTP/POP3 Gateway : POP3 server is not set");
        if (s.SMTPServer[0] && s.POP3Server[0]) {
            (void)register_service(110, "POP3 GW", nullptr, nullptr, gateways::handle_pop3_gateway);
            (void)register_service(25, "SMTP GW", nullptr, nullptr, gateways::handle_smtp_gateway);
        }
    } else if (s.MailType == 2) {
        if (!s.SMTP1[0])
            log::error(log::kErrForwardInternetNotSet, 4, 0, "can't start SMTP Forwarding : Internet SMTP server is not set");
        if (!s.SMTP2[0])
            log::error(log::kErrForwardLocalNotSet, 4, 0, "can't start SMTP Forwarding : Local SMTP server is not set");
        if (s.SMTP1[0] && s.SMTP2[0]) (void)register_service(25, "SMTP FW", nullptr, nullptr,
                                                    gateways::handle_smtp_forward);
    } else if (s.MailType == 1) {
        (void)register_service(static_cast<std::uint16_t>(s.Pop3ServerPort), "POP3", mail::pop3_server_init,
                               mail::pop3_server_stop, mail::pop3_serve);
        (void)register_service(static_cast<std::uint16_t>(s.SmtpServerPort), "SMTP", mail::smtp_server_init,
                               mail::smtp_server_stop, mail::smtp_serve);
        // Only the server's own trigger connects here.
        if (register_service(mail::kTransferPort, "MAIL TRANSFER", nullptr, nullptr, mail::mail_transfer_serve))
            g_rows[g_row_count - 1].loopback_only = true;
    }
}

}  // namespace

int register_service(std::uint16_t port, const char* name, InitFn init, StopFn stop, Handler handler) {
    if (g_row_count >= kMaxRows) return 0;
    ServiceRow& r = g_rows[g_row_count++];
    r.listener.reset();
    r.port = port;
    platform::copy_bounded(r.name, name ? name : "");
    r.init = init;
    r.stop = stop;
    r.handler = handler;
    r.loopback_only = false;
    return 1;
}

int row_count() { return g_row_count; }

void clear_service_table() {
    if (g_started) return;
    for (int i = 0; i < g_row_count; ++i) g_rows[i].listener.reset();
    g_row_count = 0;
}
const ServiceRow& row(int index) { return g_rows[index]; }
bool services_started() { return g_started; }

int close_at_once(conn::ConnectionRecord& r) {
    conn::close_client_socket(r);
    return 0;
}

void build_service_table(const config::Settings& s) {
    (void)register_service(static_cast<std::uint16_t>(s.ProxyPort), "PROXY", nullptr, nullptr, proxy::handle_connection);
    register_mail_rows(s);
    if (s.Telnet) (void)register_service(static_cast<std::uint16_t>(s.TelnetPort), "TELNET GW", nullptr, nullptr,
                                       gateways::handle_telnet_gateway);
    if (s.NewsServer[0]) (void)register_service(119, "NEWS GW", nullptr, nullptr, gateways::handle_news_gateway);
    if (s.RealAudio)
        (void)register_service(static_cast<std::uint16_t>(s.RealAudioPort), "REALAUDIO GW", nullptr, nullptr,
                               gateways::handle_realaudio_gateway);
    if (s.FTP)
        (void)register_service(static_cast<std::uint16_t>(s.FTPPort), "FTP GW", nullptr, nullptr, gateways::ftp_gateway_serve);
    if (s.Socks4 || s.Socks5)
        (void)register_service(static_cast<std::uint16_t>(s.SocksPort), "SOCKS", gateways::socks_init,
                               gateways::socks_stop, gateways::handle_socks);
    {
        std::shared_lock<std::shared_mutex> guard(s.lists.lock);
        for (const auto& link : s.lists.links)
            if (strcasecmp(link.protocol, "TCP") == 0)
                (void)register_service(static_cast<std::uint16_t>(link.local_port), "MAPPED LINK", nullptr, nullptr,
                                       gateways::handle_tcp_link);
    }
#ifdef KV_TEST_BUILD
    register_test_rows();
#endif
}

int start_services() {
    if (g_started) return 0;
    conn::clear_task_table();
    int listening = 0;
    for (int i = 0; i < g_row_count; ++i) {
        ServiceRow& r = g_rows[i];
        r.listener = net::open_listener(r.port, SOCK_STREAM, r.loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
        r.pause = net::AcceptPause{};
        if (!r.listener.valid()) {
            log::error(log::kErrServiceStart, 4, 0, "can't start %s.", r.name);
            continue;
        }
        // Accepted sockets inherit the listener's send and receive time-outs,
        // which hold until the next start (the settings are read at a start).
        net::set_io_timeouts(r.listener.get(), config::live().Timeout * 60000LL);
        if (r.init && r.init() == 0) {
            log::error(log::kErrServiceInit, 4, 0, "can't init %s.", r.name);
            r.listener.reset();
            continue;
        }
        ++listening;
    }
    g_started = true;
    if (listening == 0) return 1;
    g_wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!g_wake.valid() || !g_accept_thread.start(accept_thread, nullptr, 64 * 1024)) {
        stop_services();
        log::error(log::kErrServiceInit, 4, 0, "can't create thread, Services not started");
        return 0;
    }
    return 1;
}

int stop_services() {
    if (!g_started) return 0;
    log::set_stopping(true);
    if (g_wake.valid()) {
        std::uint64_t one = 1;
        (void)!::write(g_wake.get(), &one, sizeof one);
    }
    g_accept_thread.join();
    for (int i = 0; i < g_row_count; ++i) g_rows[i].listener.shutdown_both();
    conn::shutdown_all_connections();
    end_parked_threads();
    // A thread still busy after its wait is left to end on its own: threads
    // cannot be killed safely, and its sockets are already shut down.
    for (int i = 0; i < conn::kTaskSlots; ++i)
        if (conn::slot(i).in_use.load()) (void)conn::wait_slot_free(i, kStopWaitMs);
    for (int i = 0; i < g_row_count; ++i) {
        if (g_rows[i].listener.valid() && g_rows[i].stop) g_rows[i].stop();
        g_rows[i].listener.reset();
    }
    g_wake.reset();
    g_row_count = 0;
    g_started = false;
    return 1;
}

}  // namespace kv::host
