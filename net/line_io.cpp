#include "net/line_io.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/read_deadline.h"
#include "platform/file_io.h"
#include "platform/socket_error.h"

namespace kv::net {
namespace {

enum class Take { kLine, kClosed, kFailed, kTooLong };

// Collects bytes from the socket into out until a line feed, taking at most
// `limit` bytes in all (the LF included). The stream is first peeked, then
// exactly the bytes up to and including the LF are consumed, so whatever
// follows the line stays in the socket for the next reader. When the peeked
// bytes hold no LF they are consumed and the next peek blocks for more.
// out must hold `limit` bytes; *got is the number of bytes stored (LF included
// on kLine). A close or a line too long is no socket error: the thread's last
// error is then 0, never what an earlier connection on this thread left.
Take take_line(int fd, char* out, std::size_t limit, std::size_t* got) {
    std::size_t have = 0;
    *got = 0;
    while (have < limit) {
        ssize_t peeked = ::recv(fd, out + have, limit - have, MSG_PEEK);
        if (peeked < 0) {
            if (errno == EINTR) continue;
            platform::capture_socket_error();
            return Take::kFailed;
        }
        if (peeked == 0) {
            platform::set_last_socket_error(0);
            return Take::kClosed;
        }

        const void* lf = std::memchr(out + have, '\n', static_cast<std::size_t>(peeked));
        std::size_t want = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - (out + have)) + 1
                              : static_cast<std::size_t>(peeked);
        ssize_t taken = ::recv(fd, out + have, want, 0);
        if (taken < 0) {
            if (errno == EINTR) continue;
            platform::capture_socket_error();
            return Take::kFailed;
        }
        if (taken == 0) {
            platform::set_last_socket_error(0);
            return Take::kClosed;
        }
        have += static_cast<std::size_t>(taken);
        *got = have;
        // A short take means the LF (if any) is still in the socket: peek again.
        if (lf && static_cast<std::size_t>(taken) == want) return Take::kLine;
        if (read_deadline_passed()) {
            platform::capture_socket_error();
            return Take::kFailed;
        }
    }
    platform::set_last_socket_error(0);
    return Take::kTooLong;
}

// Length of the line text without its CR LF or LF; `len` includes the LF.
std::size_t strip_line_end(const char* line, std::size_t len) {
    if (len > 0 && line[len - 1] == '\n') --len;
    if (len > 0 && line[len - 1] == '\r') --len;
    return len;
}

// Formats into a fixed field of `size` bytes; longer output is cut. Returns the
// length kept, or -1 when formatting failed.
int format_cut(char* buf, std::size_t size, const char* fmt, va_list ap, bool* cut = nullptr) {
    int r = std::vsnprintf(buf, size, fmt, ap);
    if (r < 0) return -1;
    const bool too_long = static_cast<std::size_t>(r) >= size;
    if (too_long) r = static_cast<int>(size - 1);
    if (cut) *cut = too_long;
    return r;
}

}  // namespace

int read_line(int fd, char* out) { return read_line_sized(fd, out, kLineBufferSize); }

int read_line_sized(int fd, char* out, std::size_t n) {
    if (n == 0) return 0;
    std::size_t got = 0;
    if (take_line(fd, out, n, &got) != Take::kLine) {
        out[0] = '\0';
        return 0;
    }
    out[strip_line_end(out, got)] = '\0';
    return 1;
}

int read_line_within(int fd, char* out, std::size_t n, long long whole_ms) {
    const ReadDeadline whole(whole_ms);
    return read_line_sized(fd, out, n);
}

int read_raw_line(int fd, char* out) {
    // One byte is kept for the NUL after the LF.
    std::size_t got = 0;
    if (take_line(fd, out, kLineBufferSize - 1, &got) != Take::kLine) {
        out[0] = '\0';
        return -1;
    }
    out[got] = '\0';
    return static_cast<int>(got);
}

int read_line_counted(int fd, char* out, std::size_t n) {
    if (n == 0) return 0;
    std::size_t got = 0;
    switch (take_line(fd, out, n, &got)) {
        case Take::kLine:
            out[strip_line_end(out, got)] = '\0';
            return static_cast<int>(got);
        case Take::kClosed:
            // The peer's last words without a line end still count; got < n here.
            out[got] = '\0';
            return static_cast<int>(got);
        case Take::kFailed:
        case Take::kTooLong:
            break;
    }
    out[0] = '\0';
    return 0;
}

int read_file_line(int fd, char* out) {
    const std::size_t limit = kLineBufferSize;
    off_t start = ::lseek(fd, 0, SEEK_CUR);
    std::size_t have = 0;
    if (start < 0) {
        // Not seekable: a byte at a time so nothing after the line is lost.
        while (have < limit) {
            char c;
            ssize_t r = ::read(fd, &c, 1);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            out[have++] = c;
            if (c == '\n') {
                out[strip_line_end(out, have)] = '\0';
                return 1;
            }
        }
    } else {
        ssize_t r;
        do {
            r = ::pread(fd, out, limit, start);
        } while (r < 0 && errno == EINTR);
        if (r > 0) have = static_cast<std::size_t>(r);
        const void* lf = have ? std::memchr(out, '\n', have) : nullptr;
        if (lf) {
            std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - out) + 1;
            ::lseek(fd, start + static_cast<off_t>(len), SEEK_SET);
            out[strip_line_end(out, len)] = '\0';
            return 1;
        }
        ::lseek(fd, start + static_cast<off_t>(have), SEEK_SET);
    }
    // A last line without LF before the end of the file is still a line.
    if (have > 0 && have < limit) {
        out[strip_line_end(out, have)] = '\0';
        return 1;
    }
    out[0] = '\0';
    return 0;
}

int read_exactly(int fd, void* out, std::size_t n) {
    char* p = static_cast<char*>(out);
    std::size_t have = 0;
    while (have < n) {
        ssize_t r = ::recv(fd, p + have, n - have, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            platform::capture_socket_error();
            return 0;
        }
        if (r == 0) {
            platform::set_last_socket_error(0);  // closed: no socket error
            return 0;
        }
        have += static_cast<std::size_t>(r);
        if (have < n && read_deadline_passed()) {
            platform::capture_socket_error();
            return 0;
        }
    }
    return 1;
}

int read_previous_line(int fd, char* out, std::size_t w) {
    out[0] = '\0';
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos <= 0) return 0;
    off_t start = pos > static_cast<off_t>(w) ? pos - static_cast<off_t>(w) : 0;
    std::size_t want = static_cast<std::size_t>(pos - start);
    std::size_t have = 0;
    while (have < want) {
        ssize_t r = ::pread(fd, out + have, want - have, start + static_cast<off_t>(have));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        have += static_cast<std::size_t>(r);
    }
    if (have < want) {
        out[0] = '\0';
        return 0;
    }
    std::size_t lf = want;
    while (lf > 0 && out[lf - 1] != '\n') --lf;
    if (lf == 0) {
        // No line feed in the window: a whole first line, or one too long to show.
        if (start != 0) {
            out[0] = '\0';
            return 0;
        }
        out[want] = '\0';
        ::lseek(fd, 0, SEEK_SET);
        return 1;
    }
    // out[lf - 1] is the LF; the next call's window ends before it, or before
    // the CR in front of it (which may lie just before this window).
    off_t back = start + static_cast<off_t>(lf - 1);
    char before = 0;
    if (lf >= 2) {
        before = out[lf - 2];
    } else if (back > 0) {
        ssize_t r;
        do {
            r = ::pread(fd, &before, 1, back - 1);
        } while (r < 0 && errno == EINTR);
        if (r != 1) before = 0;
    }
    if (before == '\r') --back;
    std::size_t len = want - lf;
    std::memmove(out, out + lf, len);
    out[len] = '\0';
    ::lseek(fd, back, SEEK_SET);
    return 1;
}

int send_all(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t s = ::send(fd, p, n, MSG_NOSIGNAL);
        if (s < 0) {
            if (errno == EINTR) continue;
            platform::capture_socket_error();
            return 0;
        }
        if (s == 0) return 0;
        p += s;
        n -= static_cast<std::size_t>(s);
    }
    return 1;
}

int send_text(int fd, const char* text) { return send_all(fd, text, std::strlen(text)); }

int send_formatted(int fd, const char* fmt, ...) {
    char buf[kSendFormattedSize];
    va_list ap;
    va_start(ap, fmt);
    bool cut = false;
    int len = format_cut(buf, sizeof buf, fmt, ap, &cut);
    va_end(ap);
    if (len < 0) return 0;
    // A reply line cut short keeps its line end: without it the peer would
    // wait for the rest of the line, or take the next reply as part of it.
    const std::size_t f = std::strlen(fmt);
    if (cut && len >= 2 && f >= 2 && std::strcmp(fmt + f - 2, "\r\n") == 0) {
        buf[len - 2] = '\r';
        buf[len - 1] = '\n';
    }
    return send_all(fd, buf, static_cast<std::size_t>(len));
}

int write_formatted(int fd, const char* fmt, ...) {
    char buf[kFileWriteFormattedSize];
    va_list ap;
    va_start(ap, fmt);
    int len = format_cut(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (len < 0) return 0;
    return platform::write_all(fd, buf, static_cast<std::size_t>(len));
}

}  // namespace kv::net
