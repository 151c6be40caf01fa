#include "mail/smtp_server.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <shared_mutex>
#include <vector>

#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "mail/mail_schedule.h"
#include "mail/dot_stream.h"
#include "mail/mail_store.h"
#include "net/banners.h"
#include "net/base64.h"
#include "net/line_io.h"
#include "net/socket_options.h"
#include "platform/bounded_text.h"
#include "platform/fault_guard.h"
#include "platform/file_io.h"
#include "platform/kill_point.h"

namespace kv::mail {
namespace {

constexpr const char* kSeparators = " ;,\t\r\n";
constexpr std::size_t kListEntryMax = 128;
constexpr std::size_t kDomainMax = 255;
constexpr std::size_t kAuthValueSize = 128;   // 127 bytes + NUL
constexpr std::size_t kPathSize = 600;
constexpr int kMarkLocal = -2;
constexpr int kMarkRemote = -1;

constexpr const char* kReplyUnknown = "500 Command unrecognized\r\n";
constexpr const char* kReplySyntax = "501 Syntax error in parameters scanning\r\n";
constexpr const char* kReplyLocalError = "451 Requested action aborted: local error in processing\r\n";
constexpr const char* kReplyAccepted = "250 Message accepted for delivery\r\n";

// Per-session state; the big buffer is left untouched until recipients fill it.
struct SmtpSession {
    char sender[kSenderSize];
    char recipients[kRecipientBufferSize];
    std::uint32_t offsets[kMaxRecipients];
    int marks[kMaxRecipients];
    int count;
    std::size_t used;
    bool authenticated;
};

void free_session(void* p) { delete static_cast<SmtpSession*>(p); }

const char* recipient(const SmtpSession& s, int i) { return s.recipients + s.offsets[i]; }

void clear_envelope(SmtpSession& s) {
    s.sender[0] = '\0';
    s.count = 0;
    s.used = 0;
}

// Next entry of a separated list; false at the end or at an entry too long.
bool next_entry(const char*& p, char (&out)[kListEntryMax]) {
    p += std::strspn(p, kSeparators);
    const std::size_t n = std::strcspn(p, kSeparators);
    if (n == 0 || n >= kListEntryMax) return false;
    std::memcpy(out, p, n);
    out[n] = '\0';
    p += n;
    return true;
}

void upper(char* s) {
    for (; *s; ++s) *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

// Which POP3 account's address the recipient holds (its index), remote or local.
int recipient_mark(const char* rcpt, const std::vector<config::Pop3Account>& accounts) {
    if (!std::strchr(rcpt, '@')) return kMarkLocal;
    char up[256];
    (void)platform::copy_bounded(up, rcpt);
    upper(up);
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        char address[sizeof accounts[i].EMailAddress];
        (void)platform::copy_bounded(address, accounts[i].EMailAddress);
        if (!address[0]) continue;  // an empty address would match every recipient
        upper(address);
        if (std::strstr(up, address)) return static_cast<int>(i);
    }
    return kMarkRemote;
}

// "Priority: High/Highest/urgent" or "X-Priority: 1/2" in the first bytes.
bool is_urgent(int fd) {
    char head[2001];
    const ssize_t n = ::pread(fd, head, 2000, 0);
    if (n <= 0) return false;
    head[n] = '\0';
    const std::size_t searched = std::min<std::size_t>(static_cast<std::size_t>(n), 1000);
    auto value_of = [&](const char* name) -> const char* {
        const std::size_t len = std::strlen(name);
        for (std::size_t i = 0; i + len <= searched; ++i) {
            if (strncasecmp(head + i, name, len) == 0) {
                const char* v = head + i + len;
                if (*v == ' ') ++v;
                return v;
            }
        }
        return nullptr;
    };
    if (const char* v = value_of("Priority:")) {
        if (strncasecmp(v, "High", 4) == 0 || strncasecmp(v, "urgent", 6) == 0) return true;
    }
    if (const char* v = value_of("X-Priority:")) return *v == '1' || *v == '2';
    return false;
}

int write_text(int fd, const char* a, const char* b = "", const char* c = "") {
    return platform::write_all(fd, a, std::strlen(a)) && platform::write_all(fd, b, std::strlen(b)) &&
           platform::write_all(fd, c, std::strlen(c));
}

// Receives the message into the spool file. 1 at the end mark; 0 when the
// client closed, failed or fell silent first, or the file took no more.
int receive_data(int sock, int file, int* write_error) {
    DataEnd state;
    char block[kDataBlock];
    bool first = true;
    for (;;) {
        const ssize_t peeked = ::recv(sock, block, sizeof block, MSG_PEEK);
        if (peeked < 0 && errno == EINTR) continue;
        if (peeked <= 0) return 0;
        int cut = 0;
        const std::size_t take = scan_data_end(state, block, static_cast<std::size_t>(peeked), &cut);
        // Take only the message: commands pipelined after the end mark stay for the reader.
        if (!net::read_exactly(sock, block, take)) return 0;
        if (!*write_error && !platform::write_all(file, block, take)) *write_error = errno ? errno : EIO;
        if (first) {
            first = false;
            platform::kill_point("mid-data");
        }
        if (cut) {
            const off_t end = ::lseek(file, 0, SEEK_CUR);
            if (!*write_error && ::ftruncate(file, end - cut) != 0) *write_error = errno;
            (void)::lseek(file, end - cut, SEEK_SET);
            return 1;
        }
    }
}

void log_received(const SmtpSession& s, off_t size) {
    std::FILE* f = log::lock_mail_log();
    if (!f) return;
    char stamp[40];
    log::timestamp_text(stamp, sizeof stamp);
    std::fprintf(f, "OK   %s SMTP server: received mail (size %.2f kB) From: %s To:", stamp,
                 static_cast<double>(size) / 1024.0, s.sender);
    for (int i = 0; i < s.count; ++i) std::fprintf(f, " %s", recipient(s, i));
    std::fputs("\r\n", f);
    std::fflush(f);
    log::unlock_mail_log();
}

// Local copies; kStoreFailed when one that should exist could not be made.
int deliver_locally(const SmtpSession& s, int fd, off_t body, const std::vector<config::Pop3Account>& accounts) {
    const config::Settings& cfg = config::live();
    if (cfg.SortMode == 1) {
        int first_account = -1, first_user = -1;
        for (int i = 0; i < s.count; ++i) {
            if (s.marks[i] >= 0 && first_account < 0) first_account = i;
            if (s.marks[i] == kMarkLocal && first_user < 0) first_user = i;
        }
        if (first_account >= 0)
            return deliver(fd, accounts[static_cast<std::size_t>(s.marks[first_account])].KorvanetAccount, body,
                           nullptr, -1);
        if (first_user >= 0) return deliver(fd, recipient(s, first_user), body, nullptr, -1);
        return kDelivered;
    }
    int result = kDelivered;
    for (int i = 0; i < s.count; ++i) {
        int one = kDelivered;
        if (s.marks[i] >= 0)
            one = deliver(fd, accounts[static_cast<std::size_t>(s.marks[i])].KorvanetAccount, body, recipient(s, i),
                          -1);
        else if (s.marks[i] == kMarkLocal)
            one = deliver(fd, recipient(s, i), body, nullptr, -1);
        result = std::min(result, one);
    }
    return result;
}

// DATA with sender and recipients. 1 to go on with the dialogue, 0 to end it.
int receive_message(conn::ConnectionRecord& r, SmtpSession& s) {
    const config::Settings& cfg = config::live();
    const int sock = r.client.get();
    char spool_dir[kPathSize];
    (void)platform::format_bounded(spool_dir, "%s/spool", cfg.MailDir);
    (void)::mkdir(cfg.MailDir, 0700);
    (void)::mkdir(spool_dir, 0700);
    NewFile nf;
    int err = 0;
    if (!create_new_file(spool_dir, true, nf, &err)) {
        if (err) {
            char path[kPathSize];
            (void)platform::format_bounded(path, "%s/%s", spool_dir, nf.final_name);
            log::error(log::kErrSmtpCreateFile, 3, err, "can't create file : %s", path);
        } else {
            log::error(log::kErrInternalSmtp, 5, 0, "internal error; contact tech support");
        }
        return net::send_text(sock, kReplyLocalError);
    }
    platform::kill_point("spool-open");
    const int fd = nf.file.get();
    std::vector<config::Pop3Account> accounts;
    {
        std::shared_lock<std::shared_mutex> lock(cfg.lists.lock);
        accounts = cfg.lists.pop3;
    }
    int write_error = 0;
    bool remote = false;
    if (!write_text(fd, "$$ ", s.sender, "\r\n")) write_error = errno;
    for (int i = 0; i < s.count; ++i) {
        s.marks[i] = recipient_mark(recipient(s, i), accounts);
        if (s.marks[i] == kMarkRemote) {
            remote = true;
            if (!write_error && !write_text(fd, "T ", recipient(s, i), "\r\n")) write_error = errno;
        }
    }
    char date[64];
    format_mail_date(date, sizeof date);
    if (!write_error && (!write_text(fd, "\r\n") || !net::write_formatted(fd, "Received: from %s by %s (Korvanet); %s\r\n",
                                                                         r.client_text, r.interface_text, date)))
        write_error = errno;
    const off_t body = ::lseek(fd, 0, SEEK_CUR);
    if (!net::send_text(sock, "354 Enter mail, end with \".\" on a line by itself\r\n") ||
        !receive_data(sock, fd, &write_error)) {
        // The message counts only once its end mark arrived.
        abandon_new_file(nf);
        return 0;
    }
    const off_t size = ::lseek(fd, 0, SEEK_CUR);
    char path[kPathSize];
    (void)platform::format_bounded(path, "%s/%s", spool_dir, nf.final_name);
    if (!write_error && remote && ::fsync(fd) != 0) write_error = errno;
    if (write_error) {
        log::error(log::kErrSmtpCreateFile, 3, write_error, "can't create file : %s", path);
        abandon_new_file(nf);
        return net::send_text(sock, kReplyLocalError);
    }
    platform::kill_point("spool-synced");
    if (cfg.MailSmtpBackupMbox[0]) (void)deliver(fd, cfg.MailSmtpBackupMbox, body, nullptr, -1);
    if (deliver_locally(s, fd, body, accounts) == kStoreFailed) {
        abandon_new_file(nf);
        return net::send_text(sock, kReplyLocalError);
    }
    const bool urgent = remote && cfg.HighPriorityMail && is_urgent(fd);
    if (remote) {
        if (!commit_new_file(nf)) {
            log::error(log::kErrSmtpCreateFile, 3, errno, "can't create file : %s", path);
            abandon_new_file(nf);
            return net::send_text(sock, kReplyLocalError);
        }
        platform::kill_point("spool-renamed");
    } else {
        abandon_new_file(nf);  // local mail needs no spool file
    }
    if (!net::send_text(sock, kReplyAccepted)) return 0;
    platform::kill_point("after-250");
    if (cfg.LogMailSmtp) log_received(s, size);
    if (urgent) trigger_transfer(platform::Socket());
    return 1;
}

// A command or login line has Timeout minutes in all, not only per receive.
long long whole_line_ms() { return static_cast<long long>(config::live().Timeout) * 60000; }

void auth_login(conn::ConnectionRecord& r, SmtpSession& s, const char* line, bool* end) {
    const int sock = r.client.get();
    char user_text[kAuthLineSize] = "", pass_text[kAuthLineSize] = "";
    if (line[10] == ' ') {
        (void)platform::copy_bounded(user_text, line + 11);
    } else if (!net::send_text(sock, "334 VXNlcm5hbWU6\r\n") || !net::read_line_within(sock, user_text, sizeof user_text, whole_line_ms())) {
        *end = true;
        return;
    }
    if (!net::send_text(sock, "334 UGFzc3dvcmQ6\r\n") || !net::read_line_within(sock, pass_text, sizeof pass_text, whole_line_ms())) {
        *end = true;
        return;
    }
    char user[kAuthValueSize] = "", pass[kAuthValueSize] = "";
    (void)net::base64_decode_lenient(user_text, user, sizeof user);
    (void)net::base64_decode_lenient(pass_text, pass, sizeof pass);
    platform::fault_point("smtp auth");
    if (config::check_password(config::live().lists, user, pass)) {
        s.authenticated = true;
        *end = !net::send_text(sock, "235 Authentication successful\r\n");
    } else {
        *end = !net::send_text(sock, "535 LOGIN authentication failed\r\n");
    }
}

int add_recipient(SmtpSession& s, const char* text) {
    const std::size_t n = std::strlen(text) + 1;
    if (s.count >= kMaxRecipients || n > kRecipientBufferSize - s.used) return 0;
    std::memcpy(s.recipients + s.used, text, n);
    s.offsets[s.count++] = static_cast<std::uint32_t>(s.used);
    s.used += n;
    return 1;
}

int rcpt_to(conn::ConnectionRecord& r, SmtpSession& s, const char* line) {
    const int sock = r.client.get();
    const config::Settings& cfg = config::live();
    if (!s.sender[0]) return net::send_text(sock, "503 Need MAIL before RCPT\r\n");
    if (s.count >= kMaxRecipients || std::strlen(line) >= kRecipientBufferSize - s.used)
        return net::send_text(sock, "552 Too many recipients\r\n");
    char text[kRecipientTextSize] = "";
    if (std::strlen(line) > 8) (void)platform::copy_bounded(text, line + 8);
    switch (recipient_syntax(text)) {
        case 1: return net::send_text(sock, kReplySyntax);
        case 2: return net::send_formatted(sock, "550 %s... User unknown\r\n", text);
        default: break;
    }
    const RelayRules rules{s.authenticated, cfg.MailRelayAuthenticated != 0, cfg.MailRelayIPs, cfg.MailLocalDomains};
    if (!relay_allowed(text, r.client_text, rules))
        return net::send_formatted(sock, "550 %s... Relaying denied\r\n", text);
    if (std::strchr(text, '@')) {
        (void)add_recipient(s, text);
        return net::send_formatted(sock, "250 %s... Recipient ok (will queue)\r\n", text);
    }
    char name[kLocalNameSize] = "";
    if (text[0] == '<') {
        const std::size_t n = std::strlen(text);
        if (n >= 2) {
            const std::size_t inner = std::min(n - 2, sizeof name - 1);
            std::memcpy(name, text + 1, inner);
            name[inner] = '\0';
        }
    } else {
        (void)platform::copy_bounded(name, text);
    }
    if (config::find_user(cfg.lists, name) < 0) return net::send_formatted(sock, "550 <%s>... User unknown\r\n", name);
    (void)add_recipient(s, name);
    return net::send_formatted(sock, "250 <%s>... Recipient ok\r\n", name);
}

}  // namespace

SmtpCommand smtp_command(const char* line) {
    static constexpr struct {
        const char* word;
        std::size_t n;
        SmtpCommand command;
    } kTable[] = {{"HELO", 4, kHelo}, {"EHLO", 4, kEhlo}, {"AUTH LOGIN", 10, kAuthLogin},
                  {"MAIL FROM", 9, kMailFrom}, {"RCPT", 4, kRcpt}, {"DATA", 4, kData},
                  {"NOOP", 4, kNoop}, {"RSET", 4, kRset}, {"QUIT", 4, kQuit}, {"HELP", 4, kHelp}};
    for (const auto& e : kTable)
        if (strncasecmp(line, e.word, e.n) == 0) return e.command;
    return kUnknown;
}

int recipient_syntax(const char* text) {
    const std::size_t n = std::strlen(text);
    if (n == 0) return 1;
    if (text[n - 1] == '@' || std::strstr(text, "@>") || std::strstr(text, "<@")) return 2;
    return 0;
}

bool relay_allowed(const char* recipient, const char* client_ip, const RelayRules& rules) {
    if (rules.relay_authenticated && rules.authenticated) return true;
    if (rules.relay_ips[std::strspn(rules.relay_ips, kSeparators)] == '\0') return true;
    const char* at = std::strchr(recipient, '@');
    if (!at) return true;
    const std::size_t domain_len = std::strcspn(at + 1, ">");
    if (domain_len >= kDomainMax) return false;
    char entry[kListEntryMax];
    for (const char* p = rules.local_domains; next_entry(p, entry);) {
        if (std::strlen(entry) == domain_len && strncasecmp(entry, at + 1, domain_len) == 0) return true;
    }
    std::uint32_t client = 0;
    if (!config::parse_dotted_address(client_ip, std::strlen(client_ip), &client)) return false;
    for (const char* p = rules.relay_ips; next_entry(p, entry);) {
        const char* slash = std::strchr(entry, '/');
        std::uint32_t address = 0, mask = 0xffffffffu;
        const std::size_t address_len = slash ? static_cast<std::size_t>(slash - entry) : std::strlen(entry);
        if (!config::parse_dotted_address(entry, address_len, &address)) continue;
        if (slash && !config::parse_dotted_address(slash + 1, std::strlen(slash + 1), &mask)) continue;
        if (((client ^ address) & mask) == 0) return true;
    }
    return false;
}

int smtp_server_init() {
    const config::Settings& cfg = config::live();
    mail_store_start();
    char spool_dir[kPathSize];
    (void)platform::format_bounded(spool_dir, "%s/spool", cfg.MailDir);
    (void)::mkdir(cfg.MailDir, 0700);
    if (::mkdir(spool_dir, 0700) != 0 && errno != EEXIST) {
        log::error(log::kErrSpoolDir, 4, errno, "can't start SMTP server : can't create spool directory : %s",
                   spool_dir);
        return 0;
    }
    if (!cfg.SMTPServer[0]) {
        log::error(log::kErrSmtpServerNotSet, 3, 0, "SMTP server is not set; Mail server disabled");
        return 0;
    }
    return 1;
}

void smtp_server_stop() {}

int smtp_serve(conn::ConnectionRecord& r) {
    const config::Settings& cfg = config::live();
    auto* session = new (std::nothrow) SmtpSession;
    if (!session) {
        conn::close_client_socket(r);
        return 0;
    }
    r.mail.session = conn::MailSession(session, conn::SessionFree{free_session});
    SmtpSession& s = *session;
    clear_envelope(s);
    s.authenticated = false;
    const int sock = r.client.get();
    net::set_io_timeouts(sock, static_cast<long long>(cfg.Timeout) * 60000);
    r.progress = 1;
    bool end = !net::send_formatted(sock, "220 %s Korvanet %s SMTP Service ready\r\n", cfg.MailHostname,
                                    net::version_text());
    while (!end && net::read_line_within(sock, r.work, net::kLineBufferSize, whole_line_ms())) {
        const char* line = r.work;
        int sent = 1;
        switch (smtp_command(line)) {
            case kHelo: sent = net::send_formatted(sock, "250 %s\r\n", cfg.MailHostname); break;
            case kEhlo:
                sent = net::send_formatted(sock, "250-%s\r\n250-AUTH=LOGIN\r\n250 HELP\r\n", cfg.MailHostname);
                break;
            case kAuthLogin: auth_login(r, s, line, &end); break;
            case kMailFrom: {
                clear_envelope(s);
                const char* text = std::strlen(line) > 10 ? line + 10 : "";
                if (!*text) {
                    sent = net::send_text(sock, kReplySyntax);
                } else {
                    (void)platform::copy_bounded(s.sender, text);
                    sent = net::send_formatted(sock, "250 %s... Sender ok\r\n", text);
                }
                break;
            }
            case kRcpt: sent = rcpt_to(r, s, line); break;
            case kData:
                if (!s.sender[0]) sent = net::send_text(sock, "503 Need MAIL before DATA\r\n");
                else if (s.count == 0) sent = net::send_text(sock, "503 Need RCPT (recipient)\r\n");
                else sent = receive_message(r, s);
                break;
            case kNoop: sent = net::send_text(sock, "250 OK\r\n"); break;
            case kRset:
                clear_envelope(s);
                sent = net::send_text(sock, "250 Reset state\r\n");
                break;
            case kQuit:
                (void)net::send_text(sock, "221 Korvanet SMTP Service closing transmission channel\r\n");
                end = true;
                break;
            case kHelp: sent = net::send_text(sock, "214 Commands : HELO MAIL RCPT DATA RSET NOOP QUIT\r\n"); break;
            case kUnknown: sent = net::send_text(sock, kReplyUnknown); break;
        }
        if (!sent) end = true;
    }
    conn::close_client_socket(r);
    return 1;
}

}  // namespace kv::mail
