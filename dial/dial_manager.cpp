#include "dial/dial_manager.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/settings.h"
#include "dial/demand_rules.h"
#include "dns/resolver.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace kv::dial {
namespace {

constexpr unsigned kServiceStartDelayMs = 6000;
constexpr unsigned kWaitPassMs = 5000;      // a line of ours started elsewhere is looked for this often
constexpr unsigned kMonitorPassMs = 6000;   // one idle tick
constexpr unsigned kDialPollMs = 200;
constexpr unsigned kBeforeDialMs = 200;
constexpr unsigned kAfterFailureMs = 5000;
constexpr unsigned kAfterHangUpMs = 3000;
constexpr unsigned kAfterConnectMs = 500;
// pppd that hangs must not hold the waiting connections for ever.
constexpr std::uint32_t kDialLimitMs = 180000;
constexpr unsigned kDialRequestSettleMs = 6000;
constexpr unsigned kDialRequestPollMs = 500;
constexpr unsigned kDialRequestAfterMs = 1000;
constexpr long long kWaitDialMaxSeconds = 86400;
constexpr int kSecondsPerPass = 6;
constexpr int kTicksPerMinute = 10;
constexpr long long kProgressSendTimeoutMs = 10000;
constexpr std::size_t kStatusTextSize = 513;
constexpr std::size_t kAddressTextSize = 20;
constexpr const char* kNoEntryName = "(none)";

// --- shared state: written by the dial thread (and the requests below), read
// without a lock by the pages, the relay and the connection threads.
std::atomic<bool> g_running{false};
std::atomic<int> g_state{0};
std::atomic<in_addr_t> g_link_address{0};
std::atomic<bool> g_traffic_seen{false};
std::atomic<bool> g_dial_failed{false};
std::atomic<bool> g_adopted{false};
std::atomic<bool> g_keep_up{false};
std::atomic<int> g_idle_ticks{0};
std::atomic<int> g_connected_seconds{0};
std::atomic<std::uint32_t> g_connect_tick{0};
std::atomic<bool> g_window_forced{false};
std::atomic<bool> g_hangup_request{false};

// The wake-up event (auto-reset) and the stop request, under one lock so a
// stop ends every wait at once.
std::mutex g_event_lock;
std::condition_variable g_event;
bool g_signalled = false;
bool g_stop = false;

std::mutex g_status_lock;
char g_status_text[kStatusTextSize] = "";

std::mutex g_progress_lock;
platform::Socket g_progress;

DialHooks g_hooks;
platform::PppLink* g_link = nullptr;
// Never destroyed: a thread still running at exit must not be joined from a
// static destructor.
platform::Thread* g_thread = new platform::Thread;

std::uint32_t g_dial_limit_ms = kDialLimitMs;

// Test builds may shorten the dial's time limit, so that a black-box test of
// a pppd that never connects need not wait three minutes.
void read_test_dial_limit() {
#ifdef KV_TEST_BUILD
    if (const char* text = std::getenv("KORVANET_TEST_DIAL_LIMIT_MS")) {
        long ms = 0;
        if (platform::parse_decimal(text, 100, kDialLimitMs, &ms)) g_dial_limit_ms = static_cast<std::uint32_t>(ms);
    }
#endif
}

platform::PppLink& link() { return g_link ? *g_link : platform::pppd_link(); }

const config::Settings& settings() { return config::live(); }

bool line_in_use() { return g_hooks.line_in_use && g_hooks.line_in_use() != 0; }
bool transfer_in_progress() { return g_hooks.transfer_in_progress && g_hooks.transfer_in_progress(); }

// --- the event

void signal_event() {
    {
        std::lock_guard<std::mutex> guard(g_event_lock);
        g_signalled = true;
    }
    g_event.notify_all();
}

enum class Woke { kTimeout, kEvent, kStop };

// Waits for the event (and consumes it) or the stop, at most ms.
Woke wait_event(unsigned ms) {
    std::unique_lock<std::mutex> lock(g_event_lock);
    g_event.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_signalled || g_stop; });
    if (g_stop) return Woke::kStop;
    if (!g_signalled) return Woke::kTimeout;
    g_signalled = false;
    return Woke::kEvent;
}

// A pause that only a stop ends; a request that comes meanwhile stays
// pending for the next wait. false when stopped.
bool pause_ms(unsigned long long ms) {
    std::unique_lock<std::mutex> lock(g_event_lock);
    return !g_event.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_stop; });
}

bool stop_requested() {
    std::lock_guard<std::mutex> guard(g_event_lock);
    return g_stop;
}

// --- texts

void set_status_text(const char* text) {
    std::lock_guard<std::mutex> guard(g_status_lock);
    platform::copy_bounded(g_status_text, text);
}

void address_text(in_addr_t address, char (&out)[kAddressTextSize]) {
    out[0] = '\0';
    if (address == 0) return;
    in_addr a{};
    a.s_addr = address;
    if (!inet_ntop(AF_INET, &a, out, sizeof out)) out[0] = '\0';
}

// Sends to the progress connection; with close, ends it.
void progress(const char* text, bool close) {
    std::lock_guard<std::mutex> guard(g_progress_lock);
    if (!g_progress) return;
    const std::size_t n = std::strlen(text);
    for (std::size_t done = 0; done < n;) {
        const ssize_t sent = ::send(g_progress.get(), text + done, n - done, MSG_NOSIGNAL);
        if (sent <= 0) break;
        done += static_cast<std::size_t>(sent);
    }
    if (close) g_progress.reset();
}

void progress_formatted(const char* fmt, const char* arg) {
    char line[kStatusTextSize + 64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    (void)platform::format_bounded(line, sizeof line, fmt, arg);
#pragma GCC diagnostic pop
    progress(line, true);
}

bool progress_waiting() {
    std::lock_guard<std::mutex> guard(g_progress_lock);
    return g_progress.valid();
}

// --- the dial thread's steps

// Our line: the pppd we started, or the process that keeps up a line of our
// entry that we found already up.
struct Line {
    pid_t child = 0;
    pid_t foreign = 0;
};

enum class Next { kReset, kDial, kAdopted, kConnected, kFailed, kStop };

// A dial request that came while the thread was pausing: it must not be lost
// to the reset, nor its browser told "Disconnected."
bool dial_pending() {
    std::lock_guard<std::mutex> guard(g_event_lock);
    if (g_hangup_request.load()) {
        g_signalled = false;  // the hang-up is answered by this reset
        return false;
    }
    return g_signalled;
}

void reset() {
    if (!dial_pending()) {
        progress("<B>Disconnected.</B>", true);
        g_state.store(0);
    }
    g_link_address.store(0);
    g_idle_ticks.store(0);
    g_adopted.store(false);
    g_traffic_seen.store(false);
    g_hangup_request.store(false);
    g_connected_seconds.store(0);
}

bool entry_named(const char* name) { return std::strcmp(name, kNoEntryName) != 0; }

// A line of our entry that another process keeps up.
bool adopt(Line& line) {
    const char* name = settings().ConnName;
    if (!entry_named(name)) return false;
    pid_t pid = 0;
    in_addr_t address = 0;
    if (!link().foreign_line(name, 0, &pid, &address)) return false;
    line.foreign = pid;
    g_adopted.store(true);
    g_dial_failed.store(false);
    g_link_address.store(address);
    g_state.store(1);
    return true;
}

Next wait_for_demand(Line& line) {
    for (;;) {
        link().reap_commands();
        if (adopt(line)) return Next::kAdopted;
        switch (wait_event(kWaitPassMs)) {
            case Woke::kStop: return Next::kStop;
            case Woke::kEvent: return g_hangup_request.load() ? Next::kReset : Next::kDial;
            case Woke::kTimeout: break;
        }
    }
}

void dial_failed(const platform::RasError& error) {
    set_status_text(error.text);
    log::error(log::kErrRasErrorText, 3, error.number, "RAS error : %s", error.text);
    g_dial_failed.store(true);
    g_state.store(0);
    progress_formatted("<HR><B>Error :</B> RAS reports : %s", error.text);
    log::dial("Connection to \"%s\" failed. Reason: %s", settings().ConnName, error.text);
}

void dial_connected(in_addr_t address) {
    g_link_address.store(address);
    g_dial_failed.store(false);
    g_state.store(2);
    log::dial("Connected to \"%s\" successfuly", settings().ConnName);
    g_connected_seconds.store(0);
}

// Our pppd until the line is up, it ends, a hang-up or stop comes, or the
// time limit passes. An end that follows our own SIGTERM is no failure.
Next watch_dial(Line& line) {
    const std::uint32_t started = platform::tick_ms();
    for (;;) {
        const Woke woke = wait_event(kDialPollMs);
        if (woke == Woke::kStop || (woke == Woke::kEvent && g_hangup_request.load())) {
            link().hang_up(line.child);
            line.child = 0;
            g_state.store(0);
            return woke == Woke::kStop ? Next::kStop : Next::kReset;
        }
        int status = 0;
        if (link().ended(line.child, &status)) {
            line.child = 0;
            dial_failed(platform::ras_error_for(status));
            return Next::kFailed;
        }
        if (const in_addr_t address = link().line_address(line.child)) {
            dial_connected(address);
            return Next::kConnected;
        }
        if (platform::tick_ms() - started >= g_dial_limit_ms) {
            link().hang_up(line.child);
            line.child = 0;
            dial_failed(platform::kRasTimedOut);
            return Next::kFailed;
        }
    }
}

Next dial(Line& line) {
    g_state.store(1);
    g_dial_failed.store(false);
    if (!pause_ms(kBeforeDialMs)) return Next::kStop;
    const config::Settings& s = settings();
    if (!entry_named(s.ConnName)) {
        g_state.store(0);
        return Next::kReset;
    }
    if (!platform::peer_file_exists(platform::ppp_peers_dir(), s.ConnName)) {
        dial_failed(platform::kRasNoEntry);
        return Next::kFailed;
    }
    line.child = link().dial(s.ConnName, s.RasUsername, s.RasPassword);
    if (line.child <= 0) {
        line.child = 0;
        dial_failed(platform::kRasUnknown);
        return Next::kFailed;
    }
    return watch_dial(line);
}

void line_up() {
    char address[kAddressTextSize];
    address_text(g_link_address.load(), address);
    g_state.store(2);
    char status[kStatusTextSize];
    platform::format_bounded(status, "Connection successfuly established, our IP address : %s", address);
    set_status_text(status);
    progress_formatted("<HR><B>%s</B>", status);
    g_connect_tick.store(platform::tick_ms() | 1);
    if (!pause_ms(kAfterConnectMs)) return;
    const config::Settings& s = settings();
    if (s.RunOnDial[0] && !g_adopted.load()) link().run_command(s.RunOnDial, s.RunOnDialMode != 0);
}

bool line_lost(const Line& line) {
    if (line.child) {
        int status = 0;
        return link().ended(line.child, &status) != 0;
    }
    pid_t pid = 0;
    in_addr_t address = 0;
    return !link().foreign_line(settings().ConnName, 0, &pid, &address) || pid != line.foreign;
}

void log_connection_time(const char* fmt) {
    const int seconds = g_connected_seconds.load();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    log::dial(fmt, settings().ConnName, seconds / 60, seconds % 60);
#pragma GCC diagnostic pop
}

// Watches the line until it is to be hung up (idle, requested, stopping) or
// is found gone; the hang-up step that follows tells the two apart by
// whether a line is still held.
void monitor(Line& line) {
    for (;;) {
        link().reap_commands();
        const config::Settings& s = settings();
        if (g_idle_ticks.load() >= s.HangUp * kTicksPerMinute && !transfer_in_progress() && !g_keep_up.load())
            return;
        if (g_hangup_request.load() || stop_requested()) return;
        int ticks = g_idle_ticks.load() + 1;
        if (g_adopted.load() || g_traffic_seen.load(std::memory_order_relaxed) || line_in_use()) ticks = 0;
        g_idle_ticks.store(std::min(ticks, 0x3fffffff));
        if (line_lost(line)) {
            line.child = line.foreign = 0;
            g_state.store(0);
            g_link_address.store(0);
            log_connection_time(
                "Connection to \"%s\" was broken or closed outside Korvanet. Connection time : %d min, %d secs.");
            return;
        }
        g_traffic_seen.store(false, std::memory_order_relaxed);
        const Woke woke = wait_event(kMonitorPassMs);
        if (woke == Woke::kStop || (woke == Woke::kEvent && g_hangup_request.load())) return;
        // A Dial pressed while the line is up: its browser learns so at once.
        if (progress_waiting()) {
            char status[kStatusTextSize];
            {
                std::lock_guard<std::mutex> guard(g_status_lock);
                platform::copy_bounded(status, g_status_text);
            }
            progress_formatted("<HR><B>%s</B>", status);
        }
        g_connected_seconds.fetch_add(kSecondsPerPass);
    }
}

// false when the thread is to end.
bool hang_up(Line& line) {
    g_connect_tick.store(0);
    if (line.child && !g_adopted.load()) {
        link().hang_up(line.child);
        line.child = 0;
        g_state.store(0);
        g_link_address.store(0);
        log_connection_time("Connection to \"%s\" closed. Connection time : %d min, %d secs.");
        if (!pause_ms(kAfterHangUpMs)) return false;
    }
    line.foreign = 0;
    return !stop_requested();
}

void run_dial_loop() {
    Line line;
    for (;;) {
        reset();
        Next next = wait_for_demand(line);
        if (next == Next::kDial) next = dial(line);
        if (next == Next::kStop) break;
        if (next == Next::kReset) continue;
        if (next == Next::kFailed) {
            if (!pause_ms(kAfterFailureMs)) break;
            continue;
        }
        line_up();
        monitor(line);
        if (!hang_up(line)) break;
    }
    // Stopped: our own line goes down with the server; one we found up stays.
    if (line.child) link().hang_up(line.child);
}

// Absent without pppd; entry 1600 when it is there but cannot run.
bool pppd_usable() {
    switch (platform::pppd_presence(platform::pppd_program())) {
        case platform::PppdPresence::kAbsent: return false;
        case platform::PppdPresence::kUnusable:
            log::error(log::kErrRasLoad, 3, 0, "can't load RASAPI32.dll");
            return false;
        case platform::PppdPresence::kPresent: return true;
    }
    return false;
}

void end_running() {
    std::lock_guard<std::mutex> guard(g_progress_lock);
    g_running.store(false);
    g_progress.reset();
    g_state.store(0);
    g_link_address.store(0);
}

void* dial_main(void* delayed) {
    // Named, so that its wake-ups can be told from the other threads'.
    (void)pthread_setname_np(pthread_self(), "kv-dial");
    if (delayed) {
        if (!pause_ms(kServiceStartDelayMs) || !pppd_usable()) return nullptr;
        g_running.store(true);
    }
    run_dial_loop();
    end_running();
    return nullptr;
}

// Sleeps of a connection thread waiting for the dial; false when stopping.
bool wait_for_line(unsigned long long ms) { return pause_ms(ms); }

// The dial wait: one request per dial (the first waiter signals), then the
// fixed waits and WaitDial. 1 when the line is up; 0 with *failed when the
// dial failed.
int dial_wait(int* failed) {
    int expected = 0;
    if (g_state.compare_exchange_strong(expected, 1)) {
        g_dial_failed.store(false);
        signal_event();
    }
    if (!wait_for_line(kDialRequestSettleMs)) return 0;
    const long long wait_dial = settings().WaitDial;
    if (wait_dial < 1) {
        while (g_state.load() == 1)
            if (!wait_for_line(kDialRequestPollMs)) return 0;
    } else if (!wait_for_line(static_cast<unsigned long long>(std::min(wait_dial, kWaitDialMaxSeconds)) * 1000)) {
        return 0;
    }
    if (!wait_for_line(kDialRequestAfterMs)) return 0;
    if (g_dial_failed.load()) {
        *failed = 1;
        return 0;
    }
    return g_state.load() == 2 ? 1 : 0;
}

int dial_then_lookup(const char* host, in_addr* out, int* dial_failed) {
    int failed = 0;
    if (!dial_wait(&failed)) {
        if (dial_failed) *dial_failed = failed;
        return 0;
    }
    return dns::lookup(host, out);
}

}  // namespace

void set_dial_hooks(const DialHooks& hooks) { g_hooks = hooks; }

void use_ppp_link(platform::PppLink* l) { g_link = l; }

int start_dial_manager(bool as_service) {
    if (g_thread->running()) return g_running.load() ? 1 : 0;
    {
        std::lock_guard<std::mutex> guard(g_event_lock);
        g_stop = false;
        g_signalled = false;
    }
    g_state.store(0);
    g_hangup_request.store(false);
    read_test_dial_limit();
    if (!as_service) {
        if (!pppd_usable()) return 0;
        g_running.store(true);
    }
    if (g_thread->start(dial_main, as_service ? reinterpret_cast<void*>(1) : nullptr,
                        platform::kConnectionStackSize))
        return 1;
    g_running.store(false);
    log::error(log::kErrRasThread, 3, errno, "can't create thread");
    return 0;
}

void stop_dial_manager() {
    {
        std::lock_guard<std::mutex> guard(g_event_lock);
        g_stop = true;
    }
    g_event.notify_all();
    g_thread->join();
    end_running();
}

bool running() { return g_running.load(); }
bool connected() { return g_state.load() == 2; }

bool window_open() {
    if (g_window_forced.load()) return true;
    const config::Settings& s = settings();
    const char* const days[] = {s.DemandDialSun, s.DemandDialMon, s.DemandDialTue, s.DemandDialWed,
                                s.DemandDialThu, s.DemandDialFri, s.DemandDialSat};
    const std::tm now = platform::local_now();
    if (now.tm_wday < 0 || now.tm_wday > 6) return false;
    return window_contains(days[now.tm_wday], now.tm_hour * 60 + now.tm_min);
}

in_addr_t link_address() { return g_link_address.load(); }

int dial_and_wait() {
    int failed = 0;
    (void)dial_wait(&failed);
    return failed ? 0 : 1;
}

const char* status_text() {
    thread_local char copy[kStatusTextSize];
    std::lock_guard<std::mutex> guard(g_status_lock);
    platform::copy_bounded(copy, g_status_text);
    return copy;
}

void note_traffic(in_addr_t local_address) {
    if (local_address != 0 && local_address == g_link_address.load(std::memory_order_relaxed) &&
        !g_traffic_seen.load(std::memory_order_relaxed))
        g_traffic_seen.store(true, std::memory_order_relaxed);
}

int state() { return g_state.load(); }

const char* link_address_text() {
    thread_local char text[kAddressTextSize];
    address_text(g_link_address.load(), text);
    return text;
}

bool keep_up() { return g_keep_up.load(); }
void set_keep_up(bool on) { g_keep_up.store(on); }

int minutes_to_hangup() { return settings().HangUp - g_idle_ticks.load() / kTicksPerMinute; }

void set_progress_socket(platform::Socket s) {
    std::lock_guard<std::mutex> guard(g_progress_lock);
    if (!g_running.load()) return;  // s closes here
    net::set_io_timeouts(s.get(), kProgressSendTimeoutMs);
    g_progress = std::move(s);  // a connection held before is closed
}

void request_dial() { signal_event(); }

void request_hangup() {
    g_hangup_request.store(true);
    g_dial_failed.store(true);
    signal_event();
}

void force_window(int mode) {
    if (mode == 1) g_window_forced.store(true);
    if (mode == 0) g_window_forced.store(false);
}

void set_idle_ticks(int ticks) { g_idle_ticks.store(ticks); }

int lookup_with_dial(const char* host, in_addr* out, int* dial_failed) {
    if (dial_failed) *dial_failed = 0;
    const config::Settings& s = settings();
    const bool named = entry_named(s.ConnName);
    const bool excepted = excepted_name(host, s.ExceptLocalNames != 0, s.ExceptStrings);
    if (s.DialEvery && !excepted && running() && g_state.load() == 0 && window_open() && named)
        return dial_then_lookup(host, out, dial_failed);
    if (dns::lookup(host, out)) return 1;
    if ((s.DialEvery && excepted) || !running() || g_state.load() == 2 || !window_open() || !named) return 0;
    return dial_then_lookup(host, out, dial_failed);
}

std::vector<std::string> phone_book() { return platform::phone_book(platform::ppp_peers_dir()); }

}  // namespace kv::dial
