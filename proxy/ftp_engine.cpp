#include "proxy/ftp_engine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <string>

#include "cache/disk_cache.h"
#include "config/settings.h"
#include "net/banners.h"
#include "net/base64.h"
#include "net/line_io.h"
#include "net/outbound_connect.h"
#include "net/socket_options.h"
#include "net/stream_splice.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"
#include "platform/socket_error.h"
#include "proxy/file_types.h"
#include "proxy/ftp_listing.h"
#include "proxy/http_relay.h"
#include "proxy/request_intake.h"

namespace kv::proxy {
namespace {

// Steps of the state word: exactly one while the dialogue runs.
constexpr std::uint32_t kStepGreeting = 0x1;
constexpr std::uint32_t kStepUser = 0x2;
constexpr std::uint32_t kStepPass = 0x4;
constexpr std::uint32_t kStepQuit = 0x10;
constexpr std::uint32_t kStepCwd = 0x20;
constexpr std::uint32_t kStepSize = 0x80;
constexpr std::uint32_t kStepType = 0x100;
constexpr std::uint32_t kStepRetr = 0x200;
constexpr std::uint32_t kStepList = 0x800;
constexpr std::uint32_t kStepPasv = 0x10000;
constexpr std::uint32_t kStepPort = 0x20000;
// Outcomes: any of them ends the dialogue.
constexpr std::uint32_t kFtpFailure = 0x10000000;
constexpr std::uint32_t kTransferFailure = 0x20000000;
constexpr std::uint32_t kSilentEnd = 0x40000000;
constexpr std::uint32_t kFinished = 0x80000000;
constexpr std::uint32_t kOutcomes = kFtpFailure | kTransferFailure | kSilentEnd | kFinished;

// Option word.
constexpr std::uint32_t kOptStepOpen = 0x1;
constexpr std::uint32_t kOptFile = 0x2;
constexpr std::uint32_t kOptImage = 0x4;
constexpr std::uint32_t kOptActive = 0x8;
constexpr std::uint32_t kOptDataOpen = 0x10;
constexpr std::uint32_t kOptHeadSent = 0x10000;
constexpr std::uint32_t kOptHtmlHeadSent = 0x20000;
constexpr std::uint32_t kOptBodySent = 0x40000;
constexpr std::uint32_t kOptListingComplete = 0x80000;

// Error codes, as the data dump shows them.
constexpr int kErrUnavailable = 1;
constexpr int kErrUser = 2;
constexpr int kErrPassword = 3;
constexpr int kErrQuit = 5;
constexpr int kErrType = 8;
constexpr int kErrNotFound = 9;
constexpr int kErrPort = 12;
constexpr int kErrControlRead = -1;
constexpr int kErrControlSend = -2;
constexpr int kErrDataRead = -3;
constexpr int kErrBrowser = -4;
constexpr int kErrSocket = -5;
constexpr int kErrPassiveConnect = -6;
constexpr int kErrBind = -7;
constexpr int kErrListen = -8;
constexpr int kErrAccept = -9;
constexpr int kErrLocalAddress = -10;

constexpr std::size_t kCredentialLimit = 200;     // decoded "user:password"
constexpr std::size_t kCredentialSize = 256;
constexpr std::size_t kDecodeSize = 512;          // room to see that 200 was passed
constexpr std::size_t kFlushAt = 16 * 1024;       // listing lines leave in blocks
constexpr std::size_t kDataBlock = 8192;

constexpr char kAnonymous[] = "anonymous";
constexpr char kAnonymousPassword[] = "korvanet@";
constexpr char kRetryUser[] = "ftp";
constexpr char kAskAccount[] =
    "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"your account\"\r\n\r\n";
constexpr char kBare401[] = "HTTP/1.0 401 Unauthorized\r\n\r\n";
constexpr char kTransferBroken[] = "<hr><b>FTP Transfer broken.</b><hr>";

struct Dialogue {
    Dialogue(conn::ConnectionRecord& record, const config::Settings& settings) : r(record), s(settings) {}
    conn::ConnectionRecord& r;
    const config::Settings& s;
    int error = 0;
    int reply = 0;
    long long file_size = 0;
    std::uint32_t state = kStepGreeting;
    std::uint32_t options = kOptStepOpen;
    char* path = nullptr;
    char user[kCredentialSize]{};
    char password[kCredentialSize]{};
    bool credentials_taken = false;
    ReplyReader reader{};
    char text[kReplyTextSize]{};
    char data_address[18]{};
    std::uint16_t data_port = 0;
    int timeout_ms = 0;
    std::uint32_t dump_options = 0;  // the option word as the dialogue ended, for the data dump
    std::string out;            // for the browser, not yet sent
    std::size_t out_head = 0;   // leading bytes of out that are response head
};

bool running(const Dialogue& d) { return (d.state & kOutcomes) == 0; }

void go(Dialogue& d, std::uint32_t step) {
    d.options &= ~kOptStepOpen;
    d.state = step;
}

void fail(Dialogue& d, int error, std::uint32_t outcome) {
    d.error = error;
    d.state |= outcome;
}

// The object being written is dropped at finish; nothing more is stored.
void stop_caching(Dialogue& d) {
    auto& p = d.r.proxy;
    if (p.cache_file.valid()) p.discard = 1;
    p.cacheable = 0;
}

// --- the browser side ----------------------------------------------------

void emit(Dialogue& d, const char* text) { d.out += text; }

void emit_shown(Dialogue& d, const char* text) { append_shown(d.out, text); }

void emitf(Dialogue& d, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void emitf(Dialogue& d, const char* fmt, ...) {
    char piece[net::kSendFormattedSize];
    va_list ap;
    va_start(ap, fmt);
    (void)platform::format_bounded_v(piece, sizeof piece, fmt, ap);
    va_end(ap);
    d.out += piece;
}

// Sends what is gathered; the head's bytes are not counted as sent.
bool flush(Dialogue& d) {
    if (d.out.empty()) return true;
    auto& p = d.r.proxy;
    const bool ok = send_block_with_cache_copy(d.r, d.out.data(), d.out.size()) == 1;
    if (ok) p.bytes_sent += static_cast<long long>(d.out.size() - d.out_head);
    d.out.clear();
    d.out_head = 0;
    if (!ok) fail(d, kErrBrowser, kTransferFailure);
    return ok;
}

void response_head(Dialogue& d, int status, const char* reason, const char* type, long long length = 0) {
    char head[net::kSendFormattedSize];
    if (length > 0)
        platform::format_bounded(head, "HTTP/1.0 %d %s\r\nContent-Length: %lld\r\nContent-Type: %s\r\n\r\n", status,
                                 reason, length, type);
    else
        platform::format_bounded(head, "HTTP/1.0 %d %s\r\nContent-Type: %s\r\n\r\n", status, reason, type);
    d.out += head;
    d.out_head = d.out.size();
    d.r.proxy.status = status;
    d.options |= kOptHeadSent;
}

// The HTML head once per answer, after a 200 "text/html" head when none was sent.
void html_head(Dialogue& d, const char* title, bool directory) {
    if (!(d.options & kOptHeadSent)) response_head(d, 200, "", "text/html");
    if (d.options & kOptHtmlHeadSent) return;
    emit(d, directory ? "<HEAD>\r\n<TITLE>Directory: " : "<HEAD>\r\n<TITLE>");
    emit_shown(d, title);
    emit(d, "</TITLE>\r\n<HEAD>\r\n");
    d.options |= kOptHtmlHeadSent;
}

void body_tag(Dialogue& d) {
    if (d.options & kOptBodySent) return;
    if (d.s.UseBackground)
        emitf(d, "<BODY BACKGROUND=\"http://%s:%d/admin/images/background.gif\" BGCOLOR=\"#C0C0C0\">\r\n",
              d.r.interface_text, d.s.AdminPort);
    else
        emit(d, "<BODY BGCOLOR=\"#C0C0C0\">\r\n");
    d.options |= kOptBodySent;
}

// A 401 answer ends the dialogue without QUIT and is never kept.
void ask_credentials(Dialogue& d, const char* answer) {
    stop_caching(d);
    emit(d, answer);
    d.out_head = d.out.size();
    d.r.proxy.status = 401;
    d.options |= kOptHeadSent;
    fail(d, kErrUser, kFinished);
}

// --- the control connection ----------------------------------------------

bool command(Dialogue& d, const char* fmt, const char* arg = nullptr) {
    if (platform::format_bounded(d.text, fmt, arg)) {
        // A cut command would lose its line end: such a path cannot be fetched.
        fail(d, kErrNotFound, kFtpFailure);
        return false;
    }
    if (!net::send_text(d.r.server.get(), d.text)) {
        fail(d, kErrControlSend, kTransferFailure);
        return false;
    }
    return true;
}

// One reply (or one line of it, collecting); false when the connection broke.
bool reply(Dialogue& d, bool collect = false, bool* more = nullptr) {
    bool more_lines = false;
    int code = 0;
    const int got = read_ftp_reply(d.r.server.get(), d.reader, collect, d.timeout_ms, d.text, sizeof d.text,
                                   &code, &more_lines);
    if (more) *more = more_lines;
    if (got != 1) {
        fail(d, kErrControlRead, kTransferFailure);
        return false;
    }
    d.reply = code;
    return true;
}

// Every line of a collected reply; the final line counts as one of them.
bool collect_reply(Dialogue& d, std::string* lines, int* count) {
    *count = 0;
    for (;;) {
        bool more = false;
        if (!reply(d, true, &more)) return false;
        if (*count > 0 || more) {
            if (*count > 0) *lines += "\r\n";
            append_shown(*lines, d.text);
            ++*count;
        }
        if (!more) return true;
    }
}

// --- data connection -------------------------------------------------------

void set_data_socket(Dialogue& d, platform::Socket s) {
    std::lock_guard<std::mutex> guard(d.r.socket_lock);
    d.r.proxy.ftp_data = std::move(s);
    if (d.r.proxy.ftp_data.valid()) d.options |= kOptDataOpen;
    else d.options &= ~kOptDataOpen;
}

void close_data_socket(Dialogue& d) { set_data_socket(d, platform::Socket()); }

void set_listener(Dialogue& d, platform::Socket s) {
    std::lock_guard<std::mutex> guard(d.r.socket_lock);
    d.r.proxy.ftp_listener = std::move(s);
}

long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool wait_readable(int fd, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        const int n = ::poll(&pfd, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

// A receive that takes what is waiting at once and otherwise waits for it
// at most the time-out; -1 on failure or time-out.
long receive_waiting(int fd, char* buf, std::size_t n, int flags, int timeout_ms) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const ssize_t got = ::recv(fd, buf, n, flags | MSG_DONTWAIT);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!wait_readable(fd, timeout_ms)) return -1;
    }
    return -1;
}

long receive_data(int fd, char* buf, std::size_t n, int timeout_ms) { return receive_waiting(fd, buf, n, 0, timeout_ms); }

bool server_address(const Dialogue& d, sockaddr_in* peer) {
    socklen_t len = sizeof *peer;
    return ::getpeername(d.r.server.get(), reinterpret_cast<sockaddr*>(peer), &len) == 0 &&
           peer->sin_family == AF_INET;
}

// The server's passive port, on the server's own address: the address the
// 227 names is not followed, so a server cannot point the proxy elsewhere.
bool connect_passive(Dialogue& d) {
    sockaddr_in to{};
    if (!server_address(d, &to)) {
        fail(d, kErrPassiveConnect, kTransferFailure);
        return false;
    }
    to.sin_port = htons(d.data_port);
    platform::Socket s;
    net::OutboundFailure why = net::OutboundFailure::kNone;
    if (!net::new_stream_socket(&s, &why)) {
        fail(d, kErrSocket, kTransferFailure);
        return false;
    }
    const int fd = s.get();
    set_data_socket(d, std::move(s));
    net::set_blocking(fd, false);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd pfd{fd, POLLOUT, 0};
        int soerr = 0;
        socklen_t len = sizeof soerr;
        rc = ::poll(&pfd, 1, d.timeout_ms) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) == 0 &&
                     soerr == 0
                 ? 0
                 : -1;
    }
    net::set_blocking(fd, true);
    if (rc != 0) {
        close_data_socket(d);
        fail(d, kErrPassiveConnect, kTransferFailure);
        return false;
    }
    return true;
}

// The server's connection to the active-mode listener, from the server's
// own address; others are closed and the wait goes on.
bool accept_active(Dialogue& d) {
    if (!(d.options & kOptActive)) return true;
    sockaddr_in server{};
    if (!server_address(d, &server)) {
        fail(d, kErrAccept, kTransferFailure);
        return false;
    }
    const int listener = d.r.proxy.ftp_listener.get();
    const long long deadline = now_ms() + d.timeout_ms;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const long long left = deadline - now_ms();
        if (left <= 0 || !wait_readable(listener, static_cast<int>(left))) break;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        platform::Socket s(::accept(listener, reinterpret_cast<sockaddr*>(&from), &len));
        if (!s.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;
        }
        if (from.sin_addr.s_addr != server.sin_addr.s_addr) continue;
        set_data_socket(d, std::move(s));
        set_listener(d, platform::Socket());
        return true;
    }
    fail(d, kErrAccept, kTransferFailure);
    return false;
}

// --- steps -----------------------------------------------------------------

void step_greeting(Dialogue& d) {
    if (!reply(d)) return;
    if (d.reply == 220) go(d, kStepUser);
    else fail(d, kErrUnavailable, kFtpFailure);
}

bool has_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

// URL-decodes text into out; false when it decodes to CR, LF or NUL.
bool decode_credential(const char* text, char* out, std::size_t size) {
    platform::copy_bounded(out, text, size);
    // "%00" would end the text early and hide what follows it.
    for (const char* p = out; (p = std::strchr(p, '%')) != nullptr; ++p)
        if (p[1] == '0' && p[2] == '0') return false;
    net::url_unescape(out);
    return !has_line_break(out);
}

// The credentials of a named login; false when an answer was sent instead.
bool take_credentials(Dialogue& d) {
    auto& p = d.r.proxy;
    if (!p.ftp_user) {
        platform::copy_bounded(d.user, kAnonymous);
        platform::copy_bounded(d.password, kAnonymousPassword);
        return true;
    }
    if (p.ftp_password) {
        if (!decode_credential(p.ftp_user, d.user, sizeof d.user) ||
            !decode_credential(p.ftp_password, d.password, sizeof d.password)) {
            ask_credentials(d, kBare401);
            return false;
        }
    } else {
        const char* header = find_request_header(d.r, "Authorization");
        if (!header) {
            ask_credentials(d, kAskAccount);
            return false;
        }
        const char* space = std::strchr(header, ' ');
        char decoded[kDecodeSize];
        const std::size_t n = space ? net::base64_decode(space + 1, decoded, sizeof decoded) : 0;
        const char* colon = space ? static_cast<const char*>(std::memchr(decoded, ':', n)) : nullptr;
        if (!space || n > kCredentialLimit || std::strlen(decoded) != n || !colon || has_line_break(decoded)) {
            ask_credentials(d, kBare401);
            return false;
        }
        platform::copy_bounded(d.user, decoded, static_cast<std::size_t>(colon - decoded) + 1);
        platform::copy_bounded(d.password, colon + 1);
    }
    // A named user's "~" paths are relative to the login directory.
    if (std::strncmp(d.path, "/~", 2) == 0) ++d.path;
    return true;
}

void step_user(Dialogue& d) {
    if (!d.credentials_taken) {
        d.credentials_taken = true;
        if (!take_credentials(d)) return;
    }
    if (!command(d, "USER %s\r\n", d.user) || !reply(d)) return;
    switch (d.reply) {
        case 230: go(d, kStepSize); return;
        case 331: go(d, kStepPass); return;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        case 530: ask_credentials(d, kAskAccount); return;
        default: fail(d, kErrUser, kFtpFailure); return;
    }
}

void directory_path(Dialogue& d) { d.options &= ~(kOptFile | kOptImage); }
void file_path(Dialogue& d) { d.options |= kOptFile | kOptImage; }

void step_pass(Dialogue& d) {
    if (!command(d, "PASS %s\r\n", d.password)) return;
    std::string lines;
    int count = 0;
    if (!collect_reply(d, &lines, &count)) return;
    switch (d.reply) {
        case 200:
        case 230:
            if (std::strcmp(d.path, "/") == 0) {
                html_head(d, "Root Directory", false);
                if (count > 0) {
                    emit(d, "<PRE>");
                    d.out += lines;
                    emit(d, "</PRE><HR>\r\n");
                }
                directory_path(d);
                go(d, kStepType);
            } else {
                go(d, kStepSize);
            }
            return;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        default:
            if (std::strcmp(d.user, kAnonymous) == 0) {
                platform::copy_bounded(d.user, kRetryUser);
                platform::copy_bounded(d.password, kAnonymousPassword);
                go(d, kStepUser);
            } else {
                fail(d, kErrPassword, kFtpFailure);
            }
            return;
    }
}

void step_size(Dialogue& d) {
    auto& p = d.r.proxy;
    if (!command(d, "SIZE %s\r\n", d.path) || !reply(d)) return;
    switch (d.reply) {
        case 213:
            d.file_size = parse_size_reply(d.text);
            if (d.file_size == 0) stop_caching(d);
            p.expected_size = d.file_size;
            file_path(d);
            go(d, kStepType);
            break;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        default: go(d, kStepCwd); break;
    }
    if (p.expected_size / 1024 > d.s.MaxFtpSize) stop_caching(d);
}

void step_cwd(Dialogue& d) {
    if (!command(d, "CWD %s\r\n", d.path)) return;
    std::string lines;
    int count = 0;
    if (!collect_reply(d, &lines, &count)) return;
    switch (d.reply) {
        case 200:
        case 250:
            directory_path(d);
            if (count > 0) {
                html_head(d, d.path, true);
                emit(d, "<PRE>\r\n");
                d.out += lines;
                emit(d, "\r\n</PRE>\r\n<HR>\r\n");
            }
            go(d, kStepType);
            return;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        default:
            file_path(d);
            go(d, kStepType);
            return;
    }
}

void step_type(Dialogue& d) {
    if (!command(d, "TYPE %s\r\n", (d.options & kOptImage) ? "I" : "A") || !reply(d)) return;
    switch (d.reply) {
        case 200:
        case 250: go(d, kStepPasv); return;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        default: fail(d, kErrType, kFtpFailure); return;
    }
}

std::uint32_t transfer_step(const Dialogue& d) { return (d.options & kOptFile) ? kStepRetr : kStepList; }

void step_pasv(Dialogue& d) {
    d.options &= ~kOptActive;
    if (!command(d, "PASV\r\n") || !reply(d)) return;
    if (d.reply == 421) {
        fail(d, kErrUnavailable, kFtpFailure);
        return;
    }
    std::uint8_t a[4];
    if (d.reply != 227 || !parse_passive_reply(d.text, a, &d.data_port)) {
        go(d, kStepPort);
        return;
    }
    platform::format_bounded(d.data_address, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    if (connect_passive(d)) go(d, transfer_step(d));
}

void step_port(Dialogue& d) {
    d.options |= kOptActive;
    platform::Socket s;
    net::OutboundFailure why = net::OutboundFailure::kNone;
    if (!net::new_stream_socket(&s, &why)) {
        fail(d, kErrSocket, kTransferFailure);
        return;
    }
    const int fd = s.get();
    set_listener(d, std::move(s));
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(d.r.server.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0 ||
        local.sin_family != AF_INET) {
        fail(d, kErrLocalAddress, kTransferFailure);
        return;
    }
    local.sin_port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        fail(d, kErrBind, kTransferFailure);
        return;
    }
    if (::listen(fd, 1) != 0) {
        fail(d, kErrListen, kTransferFailure);
        return;
    }
    sockaddr_in bound{};
    len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
        fail(d, kErrLocalAddress, kTransferFailure);
        return;
    }
    const std::uint32_t a = ntohl(local.sin_addr.s_addr);
    d.data_port = ntohs(bound.sin_port);
    net::address_text(local.sin_addr, d.data_address);
    char argument[32];  // "255,255,255,255,255,255" + NUL
    platform::format_bounded(argument, "%u,%u,%u,%u,%u,%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff,
                             static_cast<unsigned>(d.data_port >> 8), static_cast<unsigned>(d.data_port & 0xff));
    if (!command(d, "PORT %s\r\n", argument) || !reply(d)) return;
    switch (d.reply) {
        case 200: go(d, transfer_step(d)); return;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        default: fail(d, kErrPort, kFtpFailure); return;
    }
}

// The first reply to RETR or LIST: true for 125/150 with the data
// connection ready and its time-outs set.
bool transfer_starts(Dialogue& d) {
    if (!reply(d)) return false;
    if (d.reply == 421) {
        fail(d, kErrUnavailable, kFtpFailure);
        return false;
    }
    if (d.reply != 125 && d.reply != 150) {
        fail(d, kErrNotFound, kFtpFailure);
        return false;
    }
    if (!accept_active(d)) return false;
    net::set_io_timeouts(d.r.proxy.ftp_data.get(), d.s.Timeout * 60000LL);
    return true;
}

// The reply after the data: 226 or 250 go on to QUIT. The answer is whole
// then, and nothing more is ever sent: the browser need not wait for QUIT.
// Its cache copy is decided first (kept, or dropped above the size limit), so
// a request the browser sends at once never follows a copy still open.
void transfer_end(Dialogue& d, bool replied) {
    if (!replied) return;
    switch (d.reply) {
        case 226:
        case 250:
            if (flush(d)) {
                cache::finish(d.r);
                (void)::shutdown(d.r.client.get(), SHUT_WR);
            }
            go(d, kStepQuit);
            return;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        default: fail(d, kErrNotFound, kFtpFailure); return;
    }
}

const char* last_component(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void step_retr(Dialogue& d) {
    auto& p = d.r.proxy;
    if (d.s.CacheFtpDirOnly) stop_caching(d);
    if (!command(d, "RETR %s\r\n", d.path) || !transfer_starts(d)) return;
    response_head(d, 200, "", file_type_of(last_component(d.path)).mime_type, d.file_size);
    if (!flush(d)) return;
    const int data = p.ftp_data.get();
    bool splice_tried = false;
    for (;;) {
        const long n = receive_data(data, d.r.work, kDataBlock, d.timeout_ms);
        if (n < 0) {
            fail(d, kErrDataRead, kTransferFailure);
            return;
        }
        if (n == 0) break;
        if (!send_to_client_with_cache_copy(d.r, static_cast<std::size_t>(n))) {
            fail(d, kErrBrowser, kTransferFailure);
            return;
        }
        p.bytes_sent += n;
        // A download that is not being stored moves socket to socket in the
        // kernel once its first full block has passed.
        if (!p.cacheable && n == static_cast<long>(kDataBlock) && !splice_tried) {
            splice_tried = true;
            long long moved = 0;
            bool send_failed = false;
            int error = 0;
            const int spliced = net::splice_until_close(data, d.r.client.get(), -1, &moved, &error, &send_failed);
            p.bytes_sent += moved;
            if (spliced == 1) break;
            if (spliced == 0) {
                fail(d, send_failed ? kErrBrowser : kErrDataRead, kTransferFailure);
                return;
            }
        }
    }
    close_data_socket(d);
    transfer_end(d, reply(d));
}

// Parses and formats every complete line of area[0 .. *have); an
// incomplete last line moves to the start.
void list_lines(Dialogue& d, ListingParser& parser, char* area, std::size_t* have, const char* current) {
    char entry_line[kEntryLineSize];
    std::size_t start = 0;
    for (;;) {
        char* lf = static_cast<char*>(std::memchr(area + start, '\n', *have - start));
        if (!lf) break;
        *lf = '\0';
        if (lf > area + start && lf[-1] == '\r') lf[-1] = '\0';
        ListingEntry entry{};
        if (parse_listing_line(parser, area + start, &entry)) {
            (void)format_listing_entry(entry, current, d.r.interface_text, d.s.AdminPort, entry_line,
                                       sizeof entry_line);
            d.out += entry_line;
        }
        start = static_cast<std::size_t>(lf - area) + 1;
    }
    std::memmove(area, area + start, *have - start);
    *have -= start;
}

void step_list(Dialogue& d) {
    if (!command(d, "LIST\r\n") || !transfer_starts(d)) return;
    html_head(d, d.path, true);
    body_tag(d);
    append_path_bar(d.out, d.path, d.r.interface_text, d.s.AdminPort);
    char parent[kHrefSize];
    if (parent_path(d.path, parent, sizeof parent)) {
        char href[kHrefSize];
        href_escape(parent, href, sizeof href);
        emit(d, "<A HREF=\"");
        emit(d, href);
        emit(d, "\"><B>To the upper directory</B></A>\r\n<PRE>");
    } else {
        emit(d, "<PRE>");
    }

    // The listing arrives into the upper half of the work buffer.
    char* area = d.r.work + kListingAreaSize;
    std::size_t have = 0;
    ListingParser parser;
    const int data = d.r.proxy.ftp_data.get();
    for (;;) {
        if (have == kListingAreaSize) break;  // a line that never ends ends the listing
        const long n = receive_data(data, area + have, kListingAreaSize - have, d.timeout_ms);
        if (n < 0) {
            fail(d, kErrDataRead, kTransferFailure);
            return;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
        list_lines(d, parser, area, &have, d.path);
        if (d.out.size() >= kFlushAt && !flush(d)) return;
    }
    close_data_socket(d);
    const bool replied = reply(d);
    if (!replied || (d.reply != 226 && d.reply != 250)) emit(d, kTransferBroken);
    char footer[net::kSendFormattedSize];
    net::format_generated_by(footer, sizeof footer);
    emit(d, footer);
    emit(d, "\r\n</body>");
    d.options |= kOptListingComplete;
    if (!flush(d)) return;
    if (replied) transfer_end(d, true);
}

void step_quit(Dialogue& d) {
    if (!command(d, "QUIT\r\n")) return;
    bool more = false;
    int code = 0;
    if (read_ftp_reply(d.r.server.get(), d.reader, false, d.timeout_ms, d.text, sizeof d.text, &code, &more) != 1) {
        fail(d, kErrUser, kFtpFailure);
        return;
    }
    (void)more;
    d.reply = code;
    switch (d.reply) {
        case 221: fail(d, kErrQuit, kFinished); return;
        case 421: fail(d, kErrUnavailable, kFtpFailure); return;
        case 500: fail(d, kErrQuit, kFtpFailure); return;
        default: fail(d, kErrUser, kFtpFailure); return;
    }
}

// --- report --------------------------------------------------------------

void details(Dialogue& d, bool with_dump) {
    emit(d, "<ul><li><b>Destination IP :</b> ");
    emit_shown(d, d.r.proxy.server_text);
    emit(d, "</li><li><b>Requested Path :</b> ");
    emit_shown(d, d.path);
    if (with_dump)
        emitf(d, "</li><li><b>Data Dump :</b> E=%d; R=%d; S=%#.8x; F=%#.8x</li></ul>", d.error, d.reply, d.state,
              d.dump_options);
    else
        emit(d, "</li></ul>");
}

void error_page_head(Dialogue& d, int status, const char* reason, const char* title) {
    response_head(d, status, reason, "text/html");
    html_head(d, title, false);
    body_tag(d);
}

void error_page_end(Dialogue& d) {
    char footer[net::kSendFormattedSize];
    net::format_error_detected_by(footer, sizeof footer);
    emit(d, footer);
    emit(d, "</body></html>\r\n");
}

void ftp_failure_page(Dialogue& d) {
    switch (d.error) {
        case 1:
            error_page_head(d, 503, "Service Unavailable", "Error: Service Unavailable");
            emit(d, "<h2>503 Service Unavailable</h2>\r\nRemote server is no longer available.<hr>");
            break;
        case 2:
        case 3:
        case 4:
            error_page_head(d, 401, "Unauthorized", "Error: Unauthorized");
            emitf(d,
                  "<h2>401 Unauthorized</h2>\r\nFTP Proxy authorization was refused by remote server.<br><b>Reason "
                  ":</b> Bad %s.<hr>",
                  d.error == 2 ? "username" : d.error == 3 ? "password" : "account");
            break;
        case 6:
        case 7:
            error_page_head(d, 404, "Data Failure", "Error: Data Failure");
            emitf(d, "<h2>404 Data Failure</h2>\r\nFTP command <b>%s</b> failed.", d.error == 6 ? "CWD" : "SIZE");
            details(d, false);
            break;
        case 9:
        case 10:
            error_page_head(d, 404, "Not Found", "Error: Not Found");
            emit(d, "<h2>404 Not Found</h2>Requested file/directory <b>");
            emit_shown(d, d.path);
            emit(d, "</b> was not found.\r\n<hr>");
            break;
        case 11:
        case 12:
            error_page_head(d, 503, "Data Connection Failure", "Error: Data Connection Failure");
            emitf(d,
                  "<h2>503 Data Connection Failure</h2>\r\nFTP command <b>%s</b> failed.FTP Proxy failed to "
                  "establish data connection to remote server.<hr>",
                  d.error == 11 ? "PASV" : "PORT");
            break;
        default:
            error_page_head(d, 500, "FTP Error", "Error: FTP Error");
            emit(d, "<h2>500 FTP Error</h2>\r\n");
            if (d.error == 0) emit(d, "Unrecognized error.");
            emit(d, "Error occured in communication with FTP server.");
            details(d, true);
            break;
    }
    error_page_end(d);
}

const char* transfer_reason(int error) {
    switch (error) {
        case -1:
        case -2: return "FTP control connection has been broken.";
        case -3:
        case -4: return "Data transfer has been broken.";
        case -5:
        case -6:
        case -7:
        case -8:
        case -9:
        case -10: return "Failed to create FTP data connection.";
        case -11: return "Failed to parse FTP directory listing.";
        case -12: return "Failed to format HTML directory listing.";
        default: return nullptr;
    }
}

void transfer_failure_page(Dialogue& d) {
    error_page_head(d, 500, "FTP Error", "Error: FTP Error");
    emit(d, "<h2>500 FTP Error</h2>\r\n");
    const char* reason = transfer_reason(d.error);
    emit(d, reason ? reason : "Please, contact authors if this error occurs repeatedly.");
    emit(d, "<hr><ul><li><b>Destination IP :</b> ");
    emit_shown(d, d.r.proxy.server_text);
    emit(d, "</li><li><b>Requested Path :</b> ");
    emit_shown(d, d.path);
    if (reason)
        emitf(d, "</li></ul><!-- Data Dump :</b> E=%d; R=%d; S=%#.8x; F=%#.8x -->", d.error, d.reply, d.state,
              d.dump_options);
    else
        emitf(d, "</li><li><b>Data Dump :</b> E=%d; R=%d; S=%#.8x; F=%#.8x</li></ul>", d.error, d.reply, d.state,
              d.dump_options);
    error_page_end(d);
}

void report(Dialogue& d) {
    if (d.state & (kFinished | kSilentEnd)) {
        (void)flush(d);
        return;
    }
    stop_caching(d);
    d.dump_options = d.options;
    const bool head_sent = (d.options & kOptHeadSent) != 0;
    if (d.state & kFtpFailure) {
        if (head_sent) {
            const bool whole = ((d.options & kOptFile) && (d.options & kOptImage)) ||
                               (d.options & kOptListingComplete);
            if (!whole) {
                html_head(d, "Warning", false);
                emit(d, kTransferBroken);
                emit(d, "</body></html>");
            }
        } else {
            ftp_failure_page(d);
        }
    } else if (d.state & kTransferFailure) {
        // The browser has gone, or has part of an answer already.
        if (d.error == kErrBrowser || head_sent) {
            d.out.clear();
            return;
        }
        transfer_failure_page(d);
    }
    (void)flush(d);
}

// URL-decodes the path in place; false, leaving it as it came, when it
// would hold CR, LF or NUL (the access log shows it too).
bool decode_path(char* path) {
    for (const char* p = path; (p = std::strchr(p, '%')) != nullptr; ++p)
        if (p[1] == '0' && p[2] == '0') return false;
    std::string decoded(path);
    net::url_unescape(decoded.data());
    if (has_line_break(decoded.c_str())) return false;
    net::url_unescape(path);
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Up to `digits` decimal digits at *p, moving *p past them; -1 when none
// or too many.
long read_number(const char** p, int digits) {
    long v = 0;
    int n = 0;
    while (is_digit(**p)) {
        if (++n > digits) return -1;
        v = v * 10 + (**p - '0');
        ++*p;
    }
    return n == 0 ? -1 : v;
}

}  // namespace

ReplyLine classify_reply_line(ReplyReader& st, const char* line, bool collect, int* code, const char** text) {
    const bool coded = is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]);
    const int value = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
    const char sep = coded ? line[3] : '\0';
    if (st.open_code == 0) {
        if (coded && sep == '-') {
            st.open_code = value;
            *code = value;
            *text = line + 4;
            return collect ? ReplyLine::kMore : ReplyLine::kSkip;
        }
        *code = value;
        *text = coded ? line + 3 + (sep ? 1 : 0) : line;
        return ReplyLine::kFinal;
    }
    if (coded && value == st.open_code && (sep == ' ' || sep == '\0')) {
        st.open_code = 0;
        *code = value;
        *text = line + 3 + (sep ? 1 : 0);
        return ReplyLine::kFinal;
    }
    *code = st.open_code;
    if (coded && value == st.open_code && sep == '-')
        *text = line + 4;
    else
        *text = line + (line[0] == ' ' ? 1 : 0);
    return collect ? ReplyLine::kMore : ReplyLine::kSkip;
}

namespace {

// One line of the control connection into out (size bytes, cut to fit):
// peek a block, take through its LF, so nothing after the line is consumed.
// 1, 0 when the peer closed, -1 on failure or time-out.
int take_reply_line(int fd, int timeout_ms, char* out, std::size_t size) {
    std::size_t kept = 0;
    std::size_t total = 0;
    bool cut = false;
    char block[kReplyTextSize];
    for (int attempt = 0; attempt < 1000000; ++attempt) {
        ssize_t n = receive_waiting(fd, block, sizeof block, MSG_PEEK, timeout_ms);
        if (n < 0) return -1;
        if (n == 0) return 0;
        const char* lf = static_cast<const char*>(std::memchr(block, '\n', static_cast<std::size_t>(n)));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - block) + 1 : static_cast<std::size_t>(n);
        n = ::recv(fd, block, take, 0);
        if (n != static_cast<ssize_t>(take)) return -1;
        const std::size_t text = lf ? take - 1 : take;
        const std::size_t room = size - 1 - kept;
        const std::size_t copy = text < room ? text : room;
        if (copy < text) cut = true;
        std::memcpy(out + kept, block, copy);
        kept += copy;
        total += take;
        if (lf) {
            if (!cut && kept > 0 && out[kept - 1] == '\r') --kept;
            out[kept] = '\0';
            return 1;
        }
        if (total > kMaxReplyLineBytes) return -1;
    }
    return -1;
}

}  // namespace

int read_ftp_reply(int fd, ReplyReader& st, bool collect, int timeout_ms, char* text, std::size_t size, int* code,
                   bool* more) {
    char line[kReplyTextSize];
    *more = false;
    for (;;) {
        const int got = take_reply_line(fd, timeout_ms, line, sizeof line);
        if (got != 1) return got;
        if (++st.lines > kMaxReplyLines) return -1;
        const char* line_text = line;
        const ReplyLine kind = classify_reply_line(st, line, collect, code, &line_text);
        if (kind == ReplyLine::kSkip) continue;
        platform::copy_bounded(text, line_text, size);
        if (kind == ReplyLine::kFinal) {
            st.lines = 0;
            return 1;
        }
        *more = true;
        return 1;
    }
}

int parse_passive_reply(const char* text, std::uint8_t address[4], std::uint16_t* port) {
    for (const char* start = text; *start; ++start) {
        if (!is_digit(*start) || (start > text && (is_digit(start[-1]) || start[-1] == '-'))) continue;
        long v[6];
        const char* p = start;
        int i = 0;
        for (; i < 6; ++i) {
            if (i > 0) {
                if (*p != ',') break;
                ++p;
            }
            v[i] = read_number(&p, 10);
            if (v[i] < 0) break;
        }
        if (i < 6) continue;
        for (int k = 0; k < 6; ++k)
            if (v[k] > 255) return 0;
        for (int k = 0; k < 4; ++k) address[k] = static_cast<std::uint8_t>(v[k]);
        *port = static_cast<std::uint16_t>(v[4] * 256 + v[5]);
        return 1;
    }
    return 0;
}

long long parse_size_reply(const char* text) {
    while (*text == ' ') ++text;
    const char* end = text;
    while (is_digit(*end)) ++end;
    long long size = 0;
    if (end == text || end - text > 18) return 0;
    if (!platform::parse_decimal(text, static_cast<std::size_t>(end - text), 0, 999999999999999999LL, &size))
        return 0;
    return size;
}

int ftp_engine(conn::ConnectionRecord& r) {
    Dialogue d{r, config::live()};
    d.timeout_ms = static_cast<int>(d.s.Timeout * 60000LL);
    d.path = r.proxy.path;
    if (!decode_path(d.path)) {
        // A path that would end a command early never reaches the server.
        fail(d, kErrNotFound, kFtpFailure);
    }
    for (int steps = 0; running(d) && steps < 64; ++steps) {
        d.options |= kOptStepOpen;
        switch (d.state) {
            case kStepGreeting: step_greeting(d); break;
            case kStepUser: step_user(d); break;
            case kStepPass: step_pass(d); break;
            case kStepSize: step_size(d); break;
            case kStepCwd: step_cwd(d); break;
            case kStepType: step_type(d); break;
            case kStepPasv: step_pasv(d); break;
            case kStepPort: step_port(d); break;
            case kStepRetr: step_retr(d); break;
            case kStepList: step_list(d); break;
            case kStepQuit: step_quit(d); break;
            default: go(d, kStepQuit); break;
        }
    }
    if (running(d)) fail(d, 0, kFtpFailure);
    close_data_socket(d);
    set_listener(d, platform::Socket());
    report(d);
    return (d.state & kFinished) ? 1 : 0;
}

}  // namespace kv::proxy
