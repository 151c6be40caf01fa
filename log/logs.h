#pragma once
// The five logs in the logs directory: error.log, http-proxy.log, mail.log,
// security.log and dial.log. One lock guards every write and clear. Once the
// server is stopping, no writer writes anything.
#include <cstddef>
#include <cstdio>

namespace kv::log {

inline constexpr std::size_t kMessageSize = 700;  // 699 characters + NUL

// The server's stopping flag: set once at the start of shutdown.
void set_stopping(bool on);
bool stopping();

// Opens the logs in `logs_dir` (created when missing). error.log and mail.log
// always; http-proxy.log when log_access, security.log when log_security,
// dial.log when log_dial. 0 only when error.log cannot be opened, or when the
// logs are already open.
[[nodiscard]] int open_logs(const char* logs_dir, bool log_access, bool log_security, bool log_dial);
void close_logs();
bool error_log_opened();
// Closes and reopens every open log under the log lock, so a file moved
// aside (log rotation) is replaced by a new one at its name. A log that
// cannot be opened again keeps its old file. Nothing when the logs are closed.
void reopen_logs();

void error(int code, int severity, int syscode, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
void security(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void dial(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void mail(bool ok, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Copies text into out (size bytes, cut to fit) for a log line, every
// control character (a line end among them) as '?': a value from the wire,
// such as a name or a user, never starts a line of its own.
void printable_copy(const char* text, char* out, std::size_t size);

// One access-log line. `buf` is the caller's scratch buffer (the connection's
// work buffer) in which the line is formatted outside the lock. Control
// characters in the fields show as '?'.
struct AccessEntry {
    const char* client;   // display name
    const char* user;     // empty or null: "-"
    const char* method;
    const char* scheme;
    const char* host;
    const char* path;
    int status;
    long long bytes;
};
void access(const AccessEntry& e, char* buf, std::size_t size);

// Gives the mail stream under the held log lock (null, without the lock, when
// stopping or closed); the caller writes, flushes and calls unlock_mail_log.
std::FILE* lock_mail_log();
void unlock_mail_log();

// "[dd/Mon/yyyy:hh:mm:ss]" of now.
void timestamp_text(char* out, std::size_t size);

void clear_error_log();
void clear_access_log();
void clear_security_log();
void clear_dial_log();
void clear_mail_log();

// Full path of a log file by name ("error.log" ...).
void log_path(const char* name, char* out, std::size_t size);

}  // namespace kv::log
