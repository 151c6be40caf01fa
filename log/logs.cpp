#include "log/logs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/socket.h"

namespace kv::log {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::atomic<bool> g_stopping{false};
std::mutex g_log_lock;
bool g_logs_open = false;
bool g_error_log_opened = false;
int g_bias_minutes = 0;
char g_logs_dir[512];

platform::File g_error_file;
platform::File g_access_file;
platform::File g_security_file;
platform::File g_dial_file;
std::FILE* g_mail = nullptr;

// Shared formatting buffer of the error, security and dial writers (under the lock).
char g_format[kMessageSize + 128];

const char* month_abbrev(int month0) { return (month0 >= 0 && month0 < 12) ? kMonths[month0] : "Jan"; }

platform::File open_log_file(const char* name) {
    char path[600];
    log_path(name, path, sizeof path);
    return platform::File(::open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

// "[dd/Mon/yyyy:hh:mm:ss]" + optional trailing blank, returns length.
int day_first_stamp(char* out, std::size_t size, const std::tm& t) {
    int n = std::snprintf(out, size, "[%02d/%s/%04d:%02d:%02d:%02d]", t.tm_mday, month_abbrev(t.tm_mon),
                          t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return n < 0 ? 0 : (static_cast<std::size_t>(n) >= size ? static_cast<int>(size) - 1 : n);
}

// Appends the message to g_format at offset `at` (at most 699 characters).
std::size_t append_message(std::size_t at, const char* fmt, va_list ap) {
    char message[kMessageSize];
    int n = std::vsnprintf(message, sizeof message, fmt, ap);
    if (n < 0) n = 0;
    std::size_t len = std::strlen(message);
    std::memcpy(g_format + at, message, len);
    return at + len;
}

void line_log(const platform::File& file, const char* fmt, va_list ap) {
    if (g_stopping.load()) return;
    std::lock_guard<std::mutex> guard(g_log_lock);
    const int fd = file.get();
    if (fd < 0 || !g_logs_open) return;
    std::tm t = platform::local_now();
    std::size_t at = static_cast<std::size_t>(day_first_stamp(g_format, sizeof g_format, t));
    g_format[at++] = ' ';
    at = append_message(at, fmt, ap);
    g_format[at++] = '\r';
    g_format[at++] = '\n';
    (void)platform::write_all(fd, g_format, at);
}

void clear_fd_log(const platform::File& file, const char* name) {
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (file.valid()) {
        // Appends go on at the new end: the log stays open and empty.
        (void)!ftruncate(file.get(), 0);
        return;
    }
    char path[600];
    log_path(name, path, sizeof path);
    ::unlink(path);
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

void set_stopping(bool on) { g_stopping.store(on); }
bool stopping() { return g_stopping.load(); }

void log_path(const char* name, char* out, std::size_t size) {
    (void)platform::format_bounded(out, size, "%s/%s", g_logs_dir, name);
}

int open_logs(const char* logs_dir, bool log_access, bool log_security, bool log_dial) {
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (g_logs_open) return 0;
    g_error_file.reset();
    g_access_file.reset();
    g_security_file.reset();
    g_dial_file.reset();
    g_mail = nullptr;
    g_bias_minutes = platform::time_zone_bias_minutes();
    (void)platform::copy_bounded(g_logs_dir, logs_dir);
    ::mkdir(g_logs_dir, 0755);

    g_error_file = open_log_file("error.log");
    if (!g_error_file.valid()) return 0;
    g_error_log_opened = true;
    if (log_access) g_access_file = open_log_file("http-proxy.log");
    char path[600];
    log_path("mail.log", path, sizeof path);
    g_mail = std::fopen(path, "a+e");
    if (log_security) g_security_file = open_log_file("security.log");
    if (log_dial) g_dial_file = open_log_file("dial.log");
    g_logs_open = true;
    return 1;
}

void close_logs() {
    std::lock_guard<std::mutex> guard(g_log_lock);
    g_error_file.reset();
    g_access_file.reset();
    g_security_file.reset();
    g_dial_file.reset();
    if (g_mail) std::fclose(g_mail);
    g_mail = nullptr;
    g_logs_open = false;
}

bool error_log_opened() { return g_error_log_opened; }

namespace {

// Only a log that is open now is opened again, at its own name.
void reopen_fd_log(platform::File& file, const char* name) {
    if (!file.valid()) return;
    platform::File fresh = open_log_file(name);
    if (fresh.valid()) file = std::move(fresh);
}

}  // namespace

void reopen_logs() {
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (!g_logs_open) return;
    ::mkdir(g_logs_dir, 0755);  // the whole directory may have been moved aside
    reopen_fd_log(g_error_file, "error.log");
    reopen_fd_log(g_access_file, "http-proxy.log");
    reopen_fd_log(g_security_file, "security.log");
    reopen_fd_log(g_dial_file, "dial.log");
    if (g_mail) {
        char path[600];
        log_path("mail.log", path, sizeof path);
        if (std::FILE* fresh = std::fopen(path, "a+e")) {
            std::fclose(g_mail);
            g_mail = fresh;
        }
    }
}

void error(int code, int severity, int syscode, const char* fmt, ...) {
    if (g_stopping.load()) return;
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (!g_error_file.valid() || !g_logs_open) return;
    std::tm t = platform::local_now();
    int head = std::snprintf(g_format, sizeof g_format,
                             "Error %03d severity %d syscode %d [%02d/%02d/%04d %02d:%02d:%02d]\r\n", code,
                             severity, syscode, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, t.tm_hour,
                             t.tm_min, t.tm_sec);
    std::size_t at = head < 0 ? 0 : static_cast<std::size_t>(head);
    va_list ap;
    va_start(ap, fmt);
    at = append_message(at, fmt, ap);
    va_end(ap);
    g_format[at++] = '\r';
    g_format[at++] = '\n';
    (void)platform::write_all(g_error_file.get(), g_format, at);
}

void security(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    line_log(g_security_file, fmt, ap);
    va_end(ap);
}

void dial(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    line_log(g_dial_file, fmt, ap);
    va_end(ap);
}

void mail(bool ok, const char* fmt, ...) {
    if (g_stopping.load()) return;
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (!g_mail || !g_logs_open) return;
    std::tm t = platform::local_now();
    char stamp[40];
    day_first_stamp(stamp, sizeof stamp, t);
    char message[kMessageSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);
    // The mail log is a text stream: its line feeds are stored as CR LF.
    std::fprintf(g_mail, "%s %s %s\r\n", ok ? "Ok   " : "Error", stamp, message);
    std::fflush(g_mail);
}

void printable_copy(const char* text, char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t n = 0;
    for (; text[n] && n + 1 < size; ++n) out[n] = is_control(static_cast<unsigned char>(text[n])) ? '?' : text[n];
    out[n] = '\0';
}

void access(const AccessEntry& e, char* buf, std::size_t size) {
    if (g_stopping.load()) return;
    std::tm t = platform::local_now();
    int zone = -g_bias_minutes / 60;
    const char* user = (e.user && *e.user) ? e.user : "-";
    int n = std::snprintf(buf, size, "%s - %s [%02d/%s/%04d:%02d:%02d:%02d %+03d00] \"%s %s://%s%s\" %03d %lld\r\n",
                          e.client ? e.client : "", user, t.tm_mday, month_abbrev(t.tm_mon), t.tm_year + 1900,
                          t.tm_hour, t.tm_min, t.tm_sec, zone, e.method ? e.method : "",
                          e.scheme ? e.scheme : "", e.host ? e.host : "", e.path ? e.path : "", e.status,
                          e.bytes);
    if (n <= 0) return;
    std::size_t len = static_cast<std::size_t>(n) >= size ? size - 1 : static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) >= size && size >= 3) {
        buf[size - 3] = '\r';
        buf[size - 2] = '\n';
    }
    // The fields hold the client's own bytes (a decoded user name, for one):
    // only the line's own end may end it.
    for (std::size_t i = 0; i + 2 < len; ++i)
        if (is_control(static_cast<unsigned char>(buf[i]))) buf[i] = '?';
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (!g_access_file.valid() || !g_logs_open) return;
    (void)platform::write_all(g_access_file.get(), buf, len);
}

std::FILE* lock_mail_log() {
    if (g_stopping.load()) return nullptr;
    g_log_lock.lock();
    if (!g_mail || !g_logs_open) {
        g_log_lock.unlock();
        return nullptr;
    }
    return g_mail;
}

void unlock_mail_log() { g_log_lock.unlock(); }

void timestamp_text(char* out, std::size_t size) {
    std::tm t = platform::local_now();
    day_first_stamp(out, size, t);
}

void clear_error_log() { clear_fd_log(g_error_file, "error.log"); }
void clear_access_log() { clear_fd_log(g_access_file, "http-proxy.log"); }
void clear_security_log() { clear_fd_log(g_security_file, "security.log"); }
void clear_dial_log() { clear_fd_log(g_dial_file, "dial.log"); }

void clear_mail_log() {
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (g_mail) std::fclose(g_mail);
    char path[600];
    log_path("mail.log", path, sizeof path);
    ::unlink(path);
    g_mail = std::fopen(path, "a+e");
}

}  // namespace kv::log
