#include "mail/mail_schedule.h"

#include <netinet/in.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <strings.h>

#include "config/settings.h"
#include "dial/dial_manager.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "mail/mail_sender.h"
#include "mail/mail_store.h"
#include "mail/pop3_download.h"
#include "mail/transfer.h"
#include "net/line_io.h"
#include "net/mail_headers.h"
#include "net/outbound_connect.h"
#include "net/page_writer.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace kv::mail {
namespace {

constexpr const char* kEnableText = "To enable this feature you have to configure Korvanet as a&nbsp;Mail server";
constexpr int kHandovers = 8;
constexpr std::uint32_t kHandoverLifeMs = 60000;
constexpr long long kTriggerReadMs = 5000;
constexpr long long kOutputTimeoutMs = 30000;
constexpr unsigned kTurnMs = 20000;
constexpr unsigned kSameMinuteMs = 41000;
constexpr int kForceHangUpTicks = 999999;
constexpr long long kNumberMax = 1000000;

std::atomic<bool> g_in_progress{false};

// ---------------------------------------------------------------- hand-over
// The output socket waits here from the trigger until the service's handler
// claims it by the number the trigger sent.

struct Handover {
    std::uint32_t token = 0;
    std::uint32_t since = 0;
    platform::Socket output;
};
std::mutex g_handover_lock;
Handover g_handovers[kHandovers];

bool token_taken(std::uint32_t token) {
    for (const Handover& h : g_handovers)
        if (h.token == token) return true;
    return false;
}

std::uint32_t fresh_token() {
    std::uint32_t v = 0;
    while (v == 0 || token_taken(v)) {
        if (::getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v))
            v = platform::tick_ms() * 2654435761u ^ static_cast<std::uint32_t>(::getpid());
    }
    return v;
}

// 0 when the table is full (the output then closes unclaimed).
std::uint32_t register_handover(platform::Socket output) {
    std::lock_guard<std::mutex> guard(g_handover_lock);
    const std::uint32_t now = platform::tick_ms();
    Handover* free_entry = nullptr;
    for (Handover& h : g_handovers) {
        if (h.token && now - h.since > kHandoverLifeMs) {
            h.token = 0;
            h.output.reset();
        }
        if (!h.token && !free_entry) free_entry = &h;
    }
    if (!free_entry) return 0;
    free_entry->token = fresh_token();
    free_entry->since = now;
    free_entry->output = std::move(output);
    return free_entry->token;
}

// The second word says whether an output was handed over: the token again, or 0.
bool claim_handover(std::uint32_t token, std::uint32_t second, platform::Socket* output) {
    if (token == 0) return false;
    std::lock_guard<std::mutex> guard(g_handover_lock);
    for (Handover& h : g_handovers) {
        if (h.token != token) continue;
        const bool matches = second == (h.output.valid() ? token : 0);
        h.token = 0;
        if (matches) *output = std::move(h.output);
        h.output.reset();
        return matches;
    }
    return false;
}

void drop_handover(std::uint32_t token) {
    std::lock_guard<std::mutex> guard(g_handover_lock);
    for (Handover& h : g_handovers) {
        if (h.token != token) continue;
        h.token = 0;
        h.output.reset();
    }
}

void close_handovers() {
    std::lock_guard<std::mutex> guard(g_handover_lock);
    for (Handover& h : g_handovers) {
        h.token = 0;
        h.output.reset();
    }
}

// ---------------------------------------------------------------- transfer

// The line may be dialled for the passes whatever the weekday windows say,
// and a line dialled only for them hangs up when they end.
void hold_dial_line() {
    if (config::live().AllowToDial) dial::force_window(1);
    if (dial::state() == 0) dial::set_idle_ticks(kForceHangUpTicks);
}

void release_dial_line() {
    if (!dial::connected()) dial::set_idle_ticks(0);
    dial::force_window(0);
}

void end_transfer(TransferState& s) {
    end_receiving(s);
    if (!s.holds_transfer) return;
    s.holds_transfer = false;
    release_dial_line();
    g_in_progress.store(false);
}

// Freeing the connection record (also after a fault) ends what is held.
void release_state(void* p) {
    auto* s = static_cast<TransferState*>(p);
    end_transfer(*s);
    delete s;
}

bool claim_output(conn::ConnectionRecord& r, platform::Socket* output) {
    if (std::strcmp(r.client_text, "127.0.0.1") != 0) return false;
    net::set_io_timeouts(r.client.get(), kTriggerReadMs);
    std::uint32_t words[2];
    return net::read_exactly(r.client.get(), words, sizeof words) && claim_handover(words[0], words[1], output);
}

void run_transfer(conn::ConnectionRecord& r) {
    const int fd = r.client.valid() ? r.client.get() : -1;
    // A browser that stops reading ends the writing, not the transfer.
    if (fd >= 0) net::set_io_timeouts(fd, kOutputTimeoutMs);
    TransferOutput out(fd);
    if (config::live().MailType != 1) {
        out.text(kEnableText);
        return;
    }
    auto* state = new (std::nothrow) TransferState;
    if (!state) return;
    r.mail.session = conn::MailSession(state, conn::SessionFree{release_state});
    bool idle = false;
    if (!g_in_progress.compare_exchange_strong(idle, true)) {
        out.text("Mail processing in progress.");
        return;
    }
    state->holds_transfer = true;
    hold_dial_line();
    Transfer t{r, *state, out};
    r.progress = 1;
    (void)receive_all(t);
    t.out.text("<hr>");
    r.progress = 2;
    (void)send_spool(t);
    r.progress = 3;
    end_transfer(*state);
    t.out.text("<hr><a href=\"/admin/manual\"><B>Back</b></a>");
}

// ---------------------------------------------------------------- schedule

std::mutex g_wait_lock;
std::condition_variable g_wake;
bool g_stop = false;
platform::Thread g_schedule;

// false when the server stops during the rest.
bool rest(unsigned ms) {
    std::unique_lock<std::mutex> lock(g_wait_lock);
    return !g_wake.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_stop; });
}

void* schedule_main(void*) {
    config::Statistics& stats = config::statistics();
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    if (stats.LastMailSent > now) stats.LastMailSent = now;
    while (rest(kTurnMs)) {
        const config::Settings& cfg = config::live();
        if (cfg.MailType != 1 || !cfg.MailSendRcvTime[0]) continue;
        const std::tm local = platform::local_now();
        if (cfg.ExceptWeekends && (local.tm_wday == 0 || local.tm_wday == 6)) continue;
        if (cfg.MailSendRcvType == 1) {
            const long long interval = schedule_interval_seconds(cfg.MailSendRcvTime);
            const auto at = static_cast<std::uint32_t>(std::time(nullptr));
            if (interval > 0 && static_cast<long long>(at) - stats.LastMailSent >= interval) {
                trigger_transfer(platform::Socket());
                stats.LastMailSent = at;
                (void)config::save_statistics();
            }
        } else if (time_listed(cfg.MailSendRcvTime, local.tm_hour, local.tm_min)) {
            trigger_transfer(platform::Socket());
            if (!rest(kSameMinuteMs)) break;
        }
    }
    return nullptr;
}

// One number of the "h:m" form as a scanf "%d" reads it: blanks, a sign,
// digits. false when there are no digits.
bool scan_number(const char*& p, long long* value) {
    p += std::strspn(p, " \t\n\v\f\r");  // what isspace takes
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') return false;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > kNumberMax) v = kNumberMax;
    }
    *value = negative ? -v : v;
    return true;
}

}  // namespace

bool transfer_in_progress() { return g_in_progress.load(); }

void trigger_transfer(platform::Socket output) {
    if (config::live().MailType != 1) {
        if (output.valid()) (void)net::send_text(output.get(), kEnableText);
        return;
    }
    const bool has_output = output.valid();
    const std::uint32_t token = register_handover(std::move(output));
    if (!token) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kTransferPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    platform::Socket s;
    net::OutboundFailure kind = net::OutboundFailure::kNone;
    const std::uint32_t words[2] = {token, has_output ? token : 0};
    if (!net::new_stream_socket(&s, &kind) || !net::connect_socket(s.get(), addr, false, nullptr, &kind) ||
        !net::send_all(s.get(), words, sizeof words))
        drop_handover(token);
}

int mail_transfer_serve(conn::ConnectionRecord& r) {
    platform::Socket output;
    const bool claimed = claim_output(r, &output);
    conn::close_client_socket(r);
    if (!claimed) return 1;
    {
        std::lock_guard<std::mutex> guard(r.socket_lock);
        r.client = std::move(output);
    }
    run_transfer(r);
    conn::close_client_socket(r);
    return 1;
}

void queue_header(const char* block, std::size_t n, const char* name, char* out, std::size_t size) {
    if (size) out[0] = '\0';
    const std::size_t len = std::strlen(name);
    for (std::size_t i = 0; i + 1 + len <= n; ++i) {
        if (block[i] == '\n' && strncasecmp(block + i + 1, name, len) == 0) {
            (void)net::header_value(name, block + i + 1, n - i - 1, out, size);
            return;
        }
    }
}

void queue_view(int fd) {
    net::PageWriter out(fd);
    SpoolListing spool;
    char name[kFileNameSize];
    off_t size = 0;
    int count = 0;
    long long total = 0;
    static constexpr const char* kHeaders[] = {"From:", "To:", "Date:"};
    while (spool.next(name, &size)) {
        if (count++ == 0) out.add("<table border=1><tr><th>From<th>To<th>Date<th>Size\n");
        total += size;
        // A file being received or sent gets no row but counts.
        const platform::File f = spool.open_exclusive(name);
        if (!f.valid()) continue;
        char block[kCopyBlock];
        const ssize_t n = ::pread(f.get(), block, sizeof block, 0);
        const std::size_t have = n > 0 ? static_cast<std::size_t>(n) : 0;
        for (std::size_t i = 0; i < 3; ++i) {
            char value[kCopyBlock];
            queue_header(block, have, kHeaders[i], value, sizeof value);
            out.add(i == 0 ? "<tr><td nowrap>" : "<td nowrap>");
            out.add_escaped(value);
        }
        out.addf("<td nowrap>%d\n", static_cast<int>(size));
    }
    if (count == 0) {
        out.add("No messages<br>\n");
        return;
    }
    out.addf("<tr><td colspan=4 align=center><b><font color=\"#0000ff\">%d messages (%.2f kB)</font></b><br>", count,
             static_cast<double>(total) / 1024.0);
    out.add("</table>\n");
}

long long schedule_interval_seconds(const char* text) {
    long long hours = 0, minutes = 0;
    const char* p = text;
    if (scan_number(p, &hours) && *p == ':') {
        ++p;
        if (!scan_number(p, &minutes)) minutes = 0;
    }
    const long long seconds = hours * 3600 + minutes * 60;
    return seconds > 0 ? seconds : 0;
}

bool time_listed(const char* text, int hour, int minute) {
    char now[16];
    (void)platform::format_bounded(now, "%02d:%02d", hour, minute);
    return std::strstr(text, now) != nullptr;
}

int start_mail_schedule() {
    {
        std::lock_guard<std::mutex> lock(g_wait_lock);
        g_stop = false;
    }
    if (g_schedule.start(schedule_main, nullptr, platform::kConnectionStackSize)) return 1;
    log::error(log::kErrScheduleThread, 3, errno, "can't create thread; scheduling is disabled");
    return 0;
}

void stop_mail_schedule() {
    {
        std::lock_guard<std::mutex> lock(g_wait_lock);
        g_stop = true;
    }
    g_wake.notify_all();
    g_schedule.join();
    close_handovers();
}

}  // namespace kv::mail
