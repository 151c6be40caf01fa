#include "mail/pop3_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "mail/mail_store.h"
#include "net/banners.h"
#include "net/line_io.h"
#include "net/md5.h"
#include "net/page_writer.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/fault_guard.h"
#include "platform/file_io.h"

namespace kv::mail {
namespace {

constexpr std::size_t kPathSize = 1400;
constexpr const char* kSigningOff = "+OK Korvanet POP3 server signing off\r\n";
constexpr const char* kAuthCommands = "-ERR Invalid command; valid commands:  USER,  QUIT\r\n";
constexpr const char* kTransactionCommands =
    "-ERR Invalid command; valid commands: STAT, LIST, RETR, DELE, NOOP, LAST, RSET, TOP, UIDL, QUIT\r\n";
constexpr const char* kNoSuchMessage = "-ERR No such message\r\n";
constexpr const char* kMarkedMessage = "-ERR message %d has been marked for deletion\r\n";

struct Message {
    std::string name;
    std::uint32_t size;
    bool marked;
};

struct Pop3Session {
    char mailbox[kMailboxNameSize];
    std::vector<Message> messages;
    long long total;
    int highest;
    Pop3Line line;
};

void free_session(void* p) { delete static_cast<Pop3Session*>(p); }

bool is_command(const char* word, const char* name) { return strncasecmp(word, name, std::strlen(name)) == 0; }

void message_path(const Pop3Session& s, const Message& m, char (&out)[kPathSize]) {
    (void)platform::format_bounded(out, "%s/%s/%s", config::live().MailDir, s.mailbox, m.name.c_str());
}

void load_table(Pop3Session& s) {
    s.messages.clear();
    s.total = 0;
    s.highest = 0;
    char dir[kPathSize];
    (void)platform::format_bounded(dir, "%s/%s", config::live().MailDir, s.mailbox);
    DIR* d = ::opendir(dir);
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        if (static_cast<int>(s.messages.size()) >= kMaxPop3Messages) break;
        const std::size_t n = std::strlen(e->d_name);
        if (n < 4 || std::strcmp(e->d_name + n - 4, ".cnm") != 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        s.messages.push_back({e->d_name, static_cast<std::uint32_t>(st.st_size), false});
        s.total += static_cast<std::uint32_t>(st.st_size);
    }
    ::closedir(d);
}

// Opened for exclusive access: a file another session holds fails to open.
platform::File open_message(const char* path) {
    platform::File f = platform::open_file(path, O_RDONLY | O_CLOEXEC);
    if (f.valid() && ::flock(f.get(), LOCK_EX | LOCK_NB) != 0) f.reset();
    return f;
}

void apply_deletions(Pop3Session& s) {
    for (const Message& m : s.messages) {
        if (!m.marked) continue;
        char path[kPathSize];
        message_path(s, m, path);
        if (::unlink(path) != 0) log::error(log::kErrPop3Delete, 3, errno, "can't delete file %s", path);
    }
}

// The number argument i of the line: 0 when absent or no number.
long long number_arg(const Pop3Session& s, int i) {
    long long v = 0;
    if (s.line.args <= i || !pop3_number(s.line.arg[i], &v)) return 0;
    return v;
}

int count(const Pop3Session& s) { return static_cast<int>(s.messages.size()); }

// Checks n for RETR, TOP, LIST and DELE; sends the error and returns 0.
int check_number(int sock, const Pop3Session& s, long long n, bool marked_counts, int* ok) {
    *ok = 0;
    if (n <= 0 || n > count(s)) return net::send_text(sock, kNoSuchMessage);
    if (marked_counts && s.messages[static_cast<std::size_t>(n - 1)].marked)
        return net::send_formatted(sock, kMarkedMessage, static_cast<int>(n));
    *ok = 1;
    return 1;
}

// The reply is gathered and sent in large pieces: a status line, the message
// and the end mark sent apart would each wait for the client's acknowledgement.
int send_message(int sock, const Pop3Session& s, int n, bool top, long long lines) {
    const Message& m = s.messages[static_cast<std::size_t>(n - 1)];
    char path[kPathSize];
    message_path(s, m, path);
    platform::File f = open_message(path);
    // A message that cannot be read is refused before any "+OK": sent after
    // it, the error would reach the client as the message itself, and its
    // DELE would then remove the real one.
    if (!f.valid()) {
        log::error(log::kErrPop3ServerOpen, 3, errno, "can't open file %s", path);
        return net::send_formatted(sock, "-ERR can't open file %s\r\n", path);
    }
    net::PageWriter out(sock);
    out.addf("+OK message %d (%d octets)\r\n", n, static_cast<int>(m.size));
    if (top) {
        char text[net::kLineBufferSize];
        long long counter = 0;
        bool body = false;
        while (out.ok() && net::read_file_line(f.get(), text)) {
            if (!text[0]) body = true;
            out.add(text);
            out.add("\r\n");
            if (body) ++counter;
            if (counter > lines) break;
        }
        out.add(".\r\n");
        return out.flush();
    }
    char block[kCopyBlock];
    char last = '\0';
    for (ssize_t got; out.ok() && (got = ::read(f.get(), block, sizeof block)) > 0;) {
        out.add(block, static_cast<std::size_t>(got));
        last = block[got - 1];
    }
    if (last != '\n') out.add("\r\n");
    out.add(".\r\n");
    return out.flush();
}

// 1 with the identifier; 0 when the file can't be opened (logged), -1 when empty.
int message_uid(const Pop3Session& s, int n, char (&out)[33], char (&path)[kPathSize]) {
    message_path(s, s.messages[static_cast<std::size_t>(n - 1)], path);
    platform::File f = open_message(path);
    if (!f.valid()) {
        log::error(log::kErrPop3ServerOpen2, 3, errno, "can't open file %s", path);
        return 0;
    }
    char head[kUidlBytes];
    std::size_t got = 0;
    for (ssize_t r; got < sizeof head && (r = ::read(f.get(), head + got, sizeof head - got)) > 0;)
        got += static_cast<std::size_t>(r);
    if (got == 0) return -1;
    net::md5_hex(head, got, out);
    return 1;
}

// One transaction command. 0 when the dialogue ends.
int transaction(int sock, Pop3Session& s, bool* quit) {
    const Pop3Line& l = s.line;
    const char* w = l.word;
    int ok = 0;
    if (is_command(w, "STAT")) return net::send_formatted(sock, "+OK %d %lld\r\n", count(s), s.total);
    if (is_command(w, "LIST")) {
        long long n = 0;
        if (l.args == 0 || !pop3_number(l.arg[0], &n)) {
            // Gathered and sent in large pieces: one small send per line would
            // leave the last lines waiting for the client's delayed acknowledgement.
            net::PageWriter out(sock);
            out.add("+OK scan listing follows\r\n");
            for (int i = 0; i < count(s) && out.ok(); ++i)
                if (!s.messages[static_cast<std::size_t>(i)].marked)
                    out.addf("%d %d\r\n", i + 1, static_cast<int>(s.messages[static_cast<std::size_t>(i)].size));
            out.add(".\r\n");
            return out.flush();
        }
        if (!check_number(sock, s, n, true, &ok)) return 0;
        if (!ok) return 1;
        return net::send_formatted(sock, "+OK %d %d\r\n", static_cast<int>(n),
                                   static_cast<int>(s.messages[static_cast<std::size_t>(n - 1)].size));
    }
    const bool top = is_command(w, "TOP");
    if (top || is_command(w, "RETR")) {
        const long long n = number_arg(s, 0);
        if (!check_number(sock, s, n, true, &ok)) return 0;
        if (!ok) return 1;
        if (n > s.highest) s.highest = static_cast<int>(n);
        return send_message(sock, s, static_cast<int>(n), top, number_arg(s, 1));
    }
    if (is_command(w, "DELE")) {
        const long long n = number_arg(s, 0);
        if (!check_number(sock, s, n, false, &ok)) return 0;
        if (!ok) return 1;
        s.messages[static_cast<std::size_t>(n - 1)].marked = true;
        return net::send_formatted(sock, "+OK message %d marked for deletion\r\n", static_cast<int>(n));
    }
    if (is_command(w, "NOOP")) return net::send_text(sock, "+OK\r\n");
    if (is_command(w, "LAST")) return net::send_formatted(sock, "+OK %d\r\n", s.highest);
    if (is_command(w, "UIDL")) {
        char uid[33], path[kPathSize];
        if (l.args == 0) {
            // In large pieces, as the scan listing.
            net::PageWriter out(sock);
            out.add("+OK\r\n");
            for (int i = 1; i <= count(s) && out.ok(); ++i) {
                if (s.messages[static_cast<std::size_t>(i - 1)].marked) continue;
                if (message_uid(s, i, uid, path) == 1) out.addf("%d %s\r\n", i, uid);
            }
            out.add(".\r\n");
            return out.flush();
        }
        const long long n = number_arg(s, 0);
        if (!check_number(sock, s, n, true, &ok)) return 0;
        if (!ok) return 1;
        switch (message_uid(s, static_cast<int>(n), uid, path)) {
            case 1: return net::send_formatted(sock, "+OK %d %s\r\n", static_cast<int>(n), uid);
            case 0: return net::send_formatted(sock, "-ERR can't open file %s\r\n", path);
            default: return net::send_text(sock, "-ERR not valid mail file\r\n");
        }
    }
    if (is_command(w, "RSET")) {
        for (Message& m : s.messages) m.marked = false;
        s.highest = 0;
        return net::send_formatted(sock, "+OK  %d messages (%lld octets)\r\n", count(s), s.total);
    }
    if (is_command(w, "QUIT")) {
        *quit = true;
        return 1;
    }
    return net::send_text(sock, kTransactionCommands);
}

// One command line, with Timeout minutes in all, not only per receive.
int read_command(int sock, char* line) {
    return net::read_line_within(sock, line, net::kLineBufferSize, static_cast<long long>(config::live().Timeout) * 60000);
}

// The authorisation state. 1 when logged in; 0 when the dialogue ends.
int authorise(conn::ConnectionRecord& r, Pop3Session& s) {
    const int sock = r.client.get();
    const config::Settings& cfg = config::live();
    while (read_command(sock, r.work)) {
        split_pop3_line(r.work, 1, s.line);
        if (is_command(s.line.word, "QUIT")) {
            (void)net::send_text(sock, kSigningOff);
            return 0;
        }
        if (!is_command(s.line.word, "USER") || s.line.args == 0) {
            if (!net::send_text(sock, kAuthCommands)) return 0;
            continue;
        }
        (void)platform::copy_bounded(s.mailbox, s.line.arg[0]);
        if (!mailbox_name_ok(s.mailbox) || config::find_user(cfg.lists, s.line.arg[0]) < 0) {
            if (!net::send_formatted(sock, "-ERR Sorry, %s doesn't get his mail here\r\n", s.line.arg[0])) return 0;
            continue;
        }
        if (!net::send_text(sock, "+OK please send PASS command\r\n") || !read_command(sock, r.work)) return 0;
        split_pop3_line(r.work, 1, s.line);
        if (is_command(s.line.word, "QUIT")) {
            (void)net::send_text(sock, kSigningOff);
            return 0;
        }
        if (!is_command(s.line.word, "PASS")) {
            if (!net::send_text(sock, "-ERR Use command USER again\r\n")) return 0;
            continue;
        }
        platform::fault_point("pop3 pass");
        if (!config::check_password(cfg.lists, s.mailbox, s.line.args ? s.line.arg[0] : "")) {
            if (!net::send_text(sock, "-ERR Invalid password\r\n")) return 0;
            continue;
        }
        load_table(s);
        return net::send_formatted(sock, "+OK %d messages (%lld octets)\r\n", count(s), s.total) ? 1 : -1;
    }
    return 0;
}

}  // namespace

void split_pop3_line(const char* line, int max_args, Pop3Line& out) {
    out.word[0] = out.arg[0][0] = out.arg[1][0] = '\0';
    out.args = 0;
    const char* p = line;
    for (int i = -1; i < max_args; ++i) {
        p += std::strspn(p, " \t");
        const std::size_t n = std::strcspn(p, " \t");
        if (n == 0) break;
        char* dest = i < 0 ? out.word : out.arg[i];
        const std::size_t keep = std::min(n, kPop3ArgumentSize - 1);
        std::memcpy(dest, p, keep);
        dest[keep] = '\0';
        if (i >= 0) out.args = i + 1;
        p += n;
    }
}

int pop3_number(const char* arg, long long* value) {
    const bool negative = arg[0] == '-';
    long long v = 0;
    if (!platform::parse_decimal(arg + (negative ? 1 : 0), 0, negative ? 2147483648LL : 2147483647LL, &v)) return 0;
    *value = negative ? -v : v;
    return 1;
}

int pop3_server_init() {
    mail_store_start();
    return 1;
}

void pop3_server_stop() {}

int pop3_serve(conn::ConnectionRecord& r) {
    auto* session = new (std::nothrow) Pop3Session;
    if (!session) {
        conn::close_client_socket(r);
        return 0;
    }
    r.mail.session = conn::MailSession(session, conn::SessionFree{free_session});
    Pop3Session& s = *session;
    s.mailbox[0] = '\0';
    s.total = 0;
    s.highest = 0;
    const int sock = r.client.get();
    net::set_io_timeouts(sock, static_cast<long long>(config::live().Timeout) * 60000);
    // Every reply is written whole (one send, or a page writer's large
    // pieces), so nothing is gained by holding a piece back until the last one
    // is acknowledged: with that delay a listing or message longer than one
    // piece waited for the client's delayed acknowledgement (some 40 ms).
    const int on = 1;
    (void)::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    r.progress = 1;
    if (net::send_formatted(sock, "+OK Korvanet (version %s) POP3 server ready\r\n", net::version_text())) {
        const int state = authorise(r, s);
        if (state != 0) {
            bool quit = state < 0;
            r.progress = 2;
            while (!quit && read_command(sock, r.work)) {
                split_pop3_line(r.work, 2, s.line);
                if (!transaction(sock, s, &quit)) break;
            }
            // QUIT and a lost connection alike apply the deletions.
            apply_deletions(s);
            (void)net::send_text(sock, kSigningOff);
        }
    }
    conn::close_client_socket(r);
    return 1;
}

}  // namespace kv::mail
