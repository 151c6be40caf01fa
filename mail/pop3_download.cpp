#include "mail/pop3_download.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "mail/dot_stream.h"
#include "mail/mail_store.h"
#include "net/line_io.h"
#include "net/outbound_connect.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/kill_point.h"
#include "platform/socket_error.h"

namespace kv::mail {
namespace {

constexpr std::size_t kPathSize = 600;
constexpr std::size_t kBlock = 8192;
constexpr unsigned short kDefaultPort = 110;
constexpr const char* kErrorOccured = "<br><b><font color=\"#ff0000\">Error occured</font></b>";

std::atomic<bool> g_receiving{false};

struct Account {
    const config::Pop3Account& a;
    char host[sizeof(config::Pop3Account::RemotePOP3Server)];
    unsigned short port;
};

struct Session {
    Transfer& t;
    Account& account;
    int sock = -1;
    char line[net::kLineBufferSize]{};
    char path[kPathSize]{};
};

bool ok_reply(const char* line) { return strncasecmp(line, "+OK", 3) == 0; }

void split_server(const char* server, Account& acc) {
    (void)platform::copy_bounded(acc.host, server);
    acc.port = kDefaultPort;
    if (char* colon = std::strrchr(acc.host, ':')) {
        *colon = '\0';
        acc.port = static_cast<unsigned short>(platform::leading_decimal(colon + 1, 65535));
    }
}

// The scratch file: nameless where the file system allows, else created and
// unlinked at once. Either way it vanishes when closed.
int open_scratch(Session& s) {
    char dir[kPathSize];
    (void)platform::format_bounded(dir, "%s/spool", config::live().MailDir);
    (void)::mkdir(dir, 0700);
    (void)platform::format_bounded(s.path, "%s/recvmail.tmp", dir);
    platform::File f = platform::open_file(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (!f.valid() && errno != EACCES) {
        f = platform::open_file(s.path, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (f.valid()) (void)::unlink(s.path);
    }
    if (f.valid()) {
        s.t.state.scratch = std::move(f);
        return 1;
    }
    const int err = errno;
    if (err == EACCES) {
        log::error(log::kErrMailAccessDenied, 3, err, "access denied to file %s\n", s.path);
        s.t.out.text("Error 1001 : see <a href=\"/admin/logs/error\">error logs </a>for details\n");
    } else {
        log::error(log::kErrMailOpenFile, 3, err, "can't open file %s\n", s.path);
        s.t.out.text("Error 1002 : see <a href=\"/admin/logs/error\">error logs </a> for details\n");
    }
    return 0;
}

int command(Session& s, const char* fmt, const char* arg) {
    char text[net::kSendFormattedSize];
    (void)platform::format_bounded(text, fmt, arg);
    return net::send_text(s.sock, text) && net::read_line(s.sock, s.line);
}

int command_number(Session& s, const char* fmt, long long n) {
    char text[64];
    (void)platform::format_bounded(text, fmt, n);
    return net::send_text(s.sock, text) && net::read_line(s.sock, s.line);
}

enum class Connected { kYes, kUnreachable, kFailed };

Connected connect_provider(Session& s) {
    const config::Settings& cfg = config::live();
    s.t.out.format("Connecting to %s ... ", s.account.host);
    char reason[net::kReasonSize] = "";
    bool lookup_failed = false;
    if (connect_upstream(s.t, s.account.host, s.account.port, cfg.AllowToDial != 0, reason, sizeof reason,
                         &lookup_failed)) {
        s.sock = s.t.record.server.get();
        s.t.out.text("Ok.<br>\n");
        net::set_io_timeouts(s.sock, static_cast<long long>(cfg.Timeout) * 60000);
        s.t.out.text("Entering user's mailbox  ... ");
        return Connected::kYes;
    }
    const int err = platform::last_socket_error();
    if (unreachable_without_dial(err, lookup_failed)) {
        s.t.out.format("failed<br>host <b>%s</b> unreachable\n<br>", s.account.host);
        return Connected::kUnreachable;
    }
    log::error(log::kErrPop3Connect, 2, err, "can't connect to POP3 server : %s; Reason : %s", s.account.host, reason);
    s.t.out.text("Error 1004 : see <a href=\"/admin/logs/error\">error logs </a> for details\n");
    return Connected::kFailed;
}

bool login(Session& s) {
    if (!net::read_line(s.sock, s.line) || !ok_reply(s.line)) return false;
    static constexpr struct {
        const char* command;
        int code;
    } kSteps[] = {{"USER %s\r\n", log::kErrPop3Responded}, {"PASS %s\r\n", log::kErrPop3Responded2}};
    const char* args[] = {s.account.a.RemotePOP3User, s.account.a.Password};
    for (int i = 0; i < 2; ++i) {
        if (!command(s, kSteps[i].command, args[i])) return false;
        if (!ok_reply(s.line)) {
            log::error(kSteps[i].code, 2, 0, "POP3 server responded : %s", s.line);
            s.t.out.format("Error %d : see <a href=\"/admin/logs/error\">error logs </a> for details\n", kSteps[i].code);
            return false;
        }
    }
    s.t.out.text("Ok.<br>\n");
    return true;
}

int scratch_failed(Session& s, int err) {
    log::error(log::kErrMailOpenFile, 3, err, "can't open file %s\n", s.path);
    s.t.out.text("Error 1002 : see <a href=\"/admin/logs/error\">error logs </a> for details\n");
    return 0;
}

// The RETR answer after its "+OK" line into the empty scratch file, up to
// the terminating line (cut off). 1 when the whole message is there.
int receive_message(Session& s) {
    const int file = s.t.state.scratch.get();
    DataEnd end;
    char block[kBlock];
    for (;;) {
        const ssize_t n = ::recv(s.sock, block, sizeof block, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A message whose end never came stays on the provider.
            if (n < 0) platform::capture_socket_error();
            const int err = n < 0 ? platform::last_socket_error() : 0;
            log::error(log::kErrPop3Broken, 2, err, "connection breaken while retrieving data from POP3 server : %s",
                       s.account.host);
            s.t.out.text("Error 1007 : see <a href=\"/admin/logs/error\">error logs </a> for details\n");
            return 0;
        }
        int cut = 0;
        const std::size_t take = scan_data_end(end, block, static_cast<std::size_t>(n), &cut);
        if (!platform::write_all(file, block, take)) return scratch_failed(s, errno ? errno : EIO);
        if (cut) {
            const off_t size = ::lseek(file, 0, SEEK_CUR) - cut;
            if (::ftruncate(file, size) != 0) return scratch_failed(s, errno);
            return 1;
        }
    }
}

off_t scratch_size(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : 0;
}

// Delivers the scratch file. The result of the target's delivery.
int distribute(Session& s, long long n) {
    const config::Settings& cfg = config::live();
    const int file = s.t.state.scratch.get();
    const off_t size = scratch_size(file);
    s.t.out.format("%lld message received (%d bytes) Ok.<br>\n", n, static_cast<int>(size));
    s.t.out.text("Distributing to Korvanet account(s) :<br>");
    if (cfg.MailSmtpBackupMbox[0]) (void)deliver(file, cfg.MailSmtpBackupMbox, 0, nullptr, -1);
    const int result = deliver(file, s.account.a.KorvanetAccount, 0, nullptr, s.t.out.fd());
    if (result == kDelivered) {
        s.t.out.text(" <br>\n");
        s.t.out.text("Transaction successful.<br>\n");
        if (cfg.LogMail)
            log::mail(true, "POP3 download: %lld messages (%d bytes) downloaded from account \"%s@%s\" successfuly", n,
                      static_cast<int>(size), s.account.a.RemotePOP3User, s.account.host);
    } else {
        if (cfg.LogMail)
            log::mail(false, "POP3 download: problems in mail distribution for account \"%s@%s\", see error logs for details",
                      s.account.a.RemotePOP3User, s.account.host);
        s.t.out.format("%s, see <a href=\"/admin/logs/error\">error logs </a> for details<br>", kErrorOccured);
    }
    return result;
}

bool empty_scratch(Session& s) {
    const int file = s.t.state.scratch.get();
    if (::ftruncate(file, 0) == 0 && ::lseek(file, 0, SEEK_SET) == 0) return true;
    (void)scratch_failed(s, errno);
    return false;
}

// Message n: retrieved, stored, then deleted on the provider.
bool download_message(Session& s, long long n) {
    if (!command_number(s, "RETR %lld\r\n", n) || !ok_reply(s.line) || !receive_message(s)) return false;
    platform::kill_point("download-scratch-complete");
    const int result = distribute(s, n);
    if (!empty_scratch(s)) return false;
    // Stored nowhere: the provider keeps it for the next pass.
    if (config::live().POP3DELE && result != kStoreFailed) {
        platform::kill_point("download-before-dele");
        (void)command_number(s, "DELE %lld\r\n", n);
        platform::kill_point("download-after-dele");
    }
    return true;
}

bool download_all(Session& s) {
    if (!login(s)) return false;
    long long count = 0, size = 0;
    if (!net::send_text(s.sock, "STAT\r\n") || !net::read_line(s.sock, s.line) ||
        !parse_stat_reply(s.line, &count, &size))
        return false;
    s.t.out.format("%d messages in mailbox (%d bytes)<br>", static_cast<int>(count), static_cast<int>(size));
    for (long long n = 1; n <= count; ++n)
        if (!download_message(s, n)) return false;
    return true;
}

void quit(Session& s) {
    if (s.sock >= 0) (void)net::send_text(s.sock, "QUIT\r\n");
    conn::close_server_socket(s.t.record);
    s.sock = -1;
    s.t.state.scratch.reset();
}

bool receive_account(Transfer& t, const config::Pop3Account& a) {
    Account account{a, {}, kDefaultPort};
    split_server(a.RemotePOP3Server, account);
    const std::unique_ptr<Session> s(new Session{t, account, -1, {}, {}});
    const std::tm now = platform::local_now();
    t.out.format("<b><font color=\"0000ff\">%s@%s </font></b> [%02d/%02d/%04d %02d:%02d:%02d]<br>", a.RemotePOP3User,
                 account.host, now.tm_mday, now.tm_mon + 1, now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec);
    bool ok = false;
    if (open_scratch(*s)) {
        switch (connect_provider(*s)) {
            case Connected::kUnreachable: quit(*s); return true;
            case Connected::kFailed: break;
            case Connected::kYes: ok = download_all(*s); break;
        }
    }
    quit(*s);
    if (ok) return true;
    t.out.format("%s, skipping to the next user.<br>", kErrorOccured);
    if (config::live().LogMail)
        log::mail(false, "POP3 download: download problems for account \"%s@%s\", see error logs for details",
                  a.RemotePOP3User, account.host);
    return false;
}

}  // namespace

int parse_stat_reply(const char* line, long long* count, long long* size) {
    if (strncasecmp(line, "+OK", 3) != 0) return 0;
    const char* p = line + 3;
    const char* end = nullptr;
    p += std::strspn(p, " \t");
    if (*p < '0' || *p > '9') return 0;
    *count = platform::leading_decimal(p, 0x7fffffff, &end);
    p = end + std::strspn(end, " \t");
    if (*p < '0' || *p > '9') return 0;
    *size = platform::leading_decimal(p, 0x7fffffff, &end);
    return 1;
}

void end_receiving(TransferState& s) {
    if (!s.holds_receiving) return;
    s.holds_receiving = false;
    g_receiving.store(false);
}

int receive_all(Transfer& t) {
    if (g_receiving.exchange(true)) return 0;
    t.state.holds_receiving = true;
    const config::Settings& cfg = config::live();
    if (!cfg.MailDir[0]) {
        log::error(log::kErrMailDirNotSet, 3, 0, "Mail directory is not set");
        t.out.text("Error : Mail directory is not set!\n<br> Receiving stopped.");
        end_receiving(t.state);
        return 0;
    }
    t.out.text("<b>Receiving ... </b><br>");
    std::vector<config::Pop3Account> accounts;
    {
        std::shared_lock<std::shared_mutex> lock(cfg.lists.lock);
        accounts = cfg.lists.pop3;
    }
    for (const config::Pop3Account& a : accounts) {
        if (!a.KorvanetAccount[0] || !a.RemotePOP3User[0] || !a.RemotePOP3Server[0]) continue;
        (void)receive_account(t, a);
    }
    t.out.text("<b>End</b><br>");
    end_receiving(t.state);
    return 1;
}

}  // namespace kv::mail
