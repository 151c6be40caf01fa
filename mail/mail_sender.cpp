#include "mail/mail_sender.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "mail/mail_store.h"
#include "mail/smtp_replies.h"
#include "net/base64.h"
#include "net/line_io.h"
#include "net/mail_headers.h"
#include "net/outbound_connect.h"
#include "net/socket_error_text.h"
#include "net/socket_options.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"
#include "platform/kill_point.h"
#include "platform/socket_error.h"

namespace kv::mail {
namespace {

constexpr const char* kErrorMark = "<font color=\"#ff0000\"><b>Error; </b></font>";
constexpr const char* kNoMessages = "No messages to send<br>\n";
constexpr std::size_t kDataBlock = 8191;
constexpr const char kEndOfData[] = "\r\n.\r\n";
constexpr std::size_t kCommandSize = net::kLineBufferSize + 16;
constexpr std::size_t kProblemSize = kReplyLineSize + 400;

struct SendPass {
    explicit SendPass(Transfer& transfer) : t(transfer) {}
    Transfer& t;
    int sock = -1;
    int count = 0;
    long long total = 0;
    long long sent = 0;
    bool problem = false;
    SmtpReply reply{};
};

enum class Next { kFile, kStop };

// The upstream's reply as the browser may be shown it: its text escaped, so
// a server cannot write markup into the admin page.
struct ShownReply {
    explicit ShownReply(const SmtpReply& r) { net::html_escape_attribute(r.last, text, sizeof text); }
    char text[net::kSendFormattedSize];
};

void socket_error_fragment(SendPass& p, const char* fmt_head, const char* fmt_tail) {
    const int err = platform::last_socket_error();
    p.t.out.format("%s%s%d : %s%s", kErrorMark, fmt_head, err, net::socket_error_text(err), fmt_tail);
}

// Sends a command and reads its reply into p.reply. 0 when the transfer must
// stop (its fragment written).
int command(SendPass& p, const char* text, std::size_t line_size = kReplyLineSize) {
    if (!net::send_text(p.sock, text)) {
        socket_error_fragment(p, "Socket error in sending header to server (", ")<p>");
        return 0;
    }
    if (!read_smtp_reply(p.sock, p.reply, line_size)) {
        socket_error_fragment(p, "Socket error in reading reply from server (", ")<p>");
        return 0;
    }
    return 1;
}

void count_spool(SendPass& p) {
    SpoolListing spool;
    char name[kFileNameSize];
    off_t size = 0;
    while (spool.next(name, &size)) {
        ++p.count;
        p.total += size;
    }
}

enum class Connected { kYes, kUnreachable, kFailed };

Connected connect_server(SendPass& p) {
    const config::Settings& cfg = config::live();
    p.t.out.format("Connecting to %s ... ", cfg.SMTPServer);
    char reason[net::kReasonSize] = "";
    bool lookup_failed = false;
    if (connect_upstream(p.t, cfg.SMTPServer, static_cast<unsigned short>(cfg.SmtpSendPort), cfg.AllowToDial != 0,
                         reason, sizeof reason, &lookup_failed)) {
        p.t.out.text("Ok.<br>\n");
        p.sock = p.t.record.server.get();
        net::set_io_timeouts(p.sock, static_cast<long long>(cfg.Timeout) * 60000);
        return Connected::kYes;
    }
    const int err = platform::last_socket_error();
    if (unreachable_without_dial(err, lookup_failed)) {
        p.t.out.text("failed <br>SMTP server is unreachable\n<br>");
        return Connected::kUnreachable;
    }
    log::error(log::kErrSmtpConnect, 3, err, "can't connect to SMTP server : %s; Reason : %s", cfg.SMTPServer, reason);
    p.t.out.text("Error 1027 : see <a href=\"/admin/logs/error\">error logs </a> for details<BR>\n");
    return Connected::kFailed;
}

bool auth_login(SendPass& p) {
    const config::Settings& cfg = config::live();
    char line[kAuthReplyLineSize];
    if (command(p, "AUTH LOGIN\r\n", kAuthReplyLineSize) && p.reply.last[0] == '3') {
        const std::size_t n = net::base64_encode_groups(cfg.SmtpAuthUser, std::strlen(cfg.SmtpAuthUser), line,
                                                        sizeof line - 2);
        std::memcpy(line + n, "\r\n", 3);
        if (command(p, line, kAuthReplyLineSize) && p.reply.last[0] == '3') {
            const std::size_t m = net::base64_encode_groups(cfg.SmtpAuthPass, std::strlen(cfg.SmtpAuthPass), line,
                                                            sizeof line - 2);
            std::memcpy(line + m, "\r\n", 3);
            if (command(p, line, kAuthReplyLineSize) && p.reply.last[0] == '2') return true;
        }
    }
    log::error(log::kErrAuthLoginFailed, 3, 0, "AUTH LOGIN failed, SMTP server replied: %s\n", p.reply.last);
    p.t.out.format("%sSEND: AUTH LOGIN failed: %s<p>", kErrorMark, ShownReply(p.reply).text);
    return false;
}

// Greeting, EHLO (or HELO) and, when the upstream offers it and a user is
// set, AUTH LOGIN. false: the transfer stops.
bool open_session(SendPass& p) {
    if (!read_smtp_reply(p.sock, p.reply)) {
        socket_error_fragment(p, "Socket error in reading reply from server (", ")<p>");
        return false;
    }
    if (!command(p, "EHLO Korvanet.anywhere\r\n")) return false;
    const bool extended = reply_positive(p.reply);
    if (!extended && (!command(p, "HELO Korvanet.anywhere\r\n") || !reply_positive(p.reply))) return false;
    if (extended && std::strstr(p.reply.whole, "250-AUTH") && config::live().SmtpAuthUser[0]) return auth_login(p);
    return true;
}

bool etrn(SendPass& p) {
    const char* node = config::live().EtrnNode;
    if (!node[0]) return true;
    p.t.out.text("sending ETRN ... \n");
    char line[kCommandSize];
    (void)platform::format_bounded(line, "ETRN %s\r\n", node);
    if (!command(p, line)) return false;
    p.t.out.format("%s<br>\n", ShownReply(p.reply).text);
    return true;
}

// The message goes back to the problems mailbox; the spool file goes only
// once the report is on disk.
void return_file(SendPass& p, const SpoolListing& spool, const char* name, int fd, const char* problem) {
    p.problem = true;
    if (return_to_problems(fd, problem) != kStoreFailed) (void)spool.remove(name);
}

void bad_format(SendPass& p, const SpoolListing& spool, const char* name, int fd) {
    p.t.out.text("<font color=\"#ff0000\"><b> Error</b></font>,Bad mail spool file format; mail returned<br>");
    log::error(log::kErrSpoolFormat, 3, 0, "bad mail spool file format; mail not sent");
    return_file(p, spool, name, fd, "Bad mail spool file format; mail not sent");
}

// A refusal: a 5xx returns the message (before the data, anything but a 4xx
// does); a "try later" keeps the file for the next transfer.
void refused(SendPass& p, const SpoolListing& spool, const char* name, int fd, bool after_data) {
    const char* reply = p.reply.last;
    log::error(log::kErrSmtpData, 3, 0, "can't start data transmision, SMTP responded : %s", reply);
    p.t.out.format("<font color=\"#ff0000\"><b> Error</b></font>, SMTP server responed : %s<br>",
                   ShownReply(p.reply).text);
    p.problem = true;
    const bool returns = after_data ? reply[0] == '5' : reply[0] != '4';
    if (!returns) return;
    char problem[kProblemSize];
    (void)platform::format_bounded(problem, "SMTP server \"%s\" responded :\r\n%s", config::live().SMTPServer, reply);
    return_file(p, spool, name, fd, problem);
}

Next data_failed(SendPass& p) {
    const int err = platform::last_socket_error();
    log::error(log::kErrSmtpSend, 2, err, "can't send data to server");
    p.t.out.format("%sSocket error (%d : %s) in sending e-mail data to server<p>", kErrorMark, err,
                   net::socket_error_text(err));
    return Next::kStop;
}

// The message from the file position on, in blocks; the end of data rides
// with the last block.
Next send_data(SendPass& p, const SpoolListing& spool, const char* name, int fd) {
    char block[kDataBlock + sizeof kEndOfData];
    for (;;) {
        const ssize_t n = ::read(fd, block, kDataBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            platform::capture_socket_error();
            return data_failed(p);
        }
        std::size_t length = static_cast<std::size_t>(n);
        const bool last = length < kDataBlock;
        if (last) {
            std::memcpy(block + length, kEndOfData, sizeof kEndOfData - 1);
            length += sizeof kEndOfData - 1;
        }
        if (!net::send_all(p.sock, block, length)) return data_failed(p);
        if (last) break;
    }
    platform::kill_point("send-data-sent");
    if (!read_smtp_reply(p.sock, p.reply)) {
        socket_error_fragment(p, "Socket error in reading reply from server (", ")<p>");
        return Next::kStop;
    }
    if (p.reply.last[0] == '2') {
        platform::kill_point("send-before-delete");
        (void)spool.remove(name);
    } else {
        refused(p, spool, name, fd, true);
    }
    return Next::kFile;
}

// The envelope as commands, then the data. kStop when the connection failed.
Next send_one(SendPass& p, const SpoolListing& spool, const char* name) {
    const platform::File f = spool.open_exclusive(name);
    if (!f.valid()) return Next::kFile;  // being sent or viewed elsewhere
    char line[net::kLineBufferSize];
    char text[kCommandSize];
    for (;;) {
        // A file that ends before its empty line has no message: bad too.
        if (!net::read_file_line(f.get(), line)) {
            bad_format(p, spool, name, f.get());
            return Next::kFile;
        }
        const EnvelopeCommand kind = envelope_command(line, text, sizeof text);
        if (kind == EnvelopeCommand::kBad) {
            bad_format(p, spool, name, f.get());
            return Next::kFile;
        }
        if (!command(p, text)) return Next::kStop;
        if (!reply_positive(p.reply)) {
            refused(p, spool, name, f.get(), false);
            return Next::kFile;
        }
        if (kind == EnvelopeCommand::kData) return send_data(p, spool, name, f.get());
    }
}

bool send_files(SendPass& p) {
    if (p.count == 0) return true;
    SpoolListing spool;
    char name[kFileNameSize];
    off_t size = 0;
    int number = 0;
    while (spool.next(name, &size)) {
        ++number;
        p.sent += size;
        const double percent = p.total > 0 ? 100.0 * static_cast<double>(p.sent) / static_cast<double>(p.total) : 100.0;
        p.t.out.format("Sending message %d (%d bytes) ; %.1f %% sent<br>\n", number, static_cast<int>(size), percent);
        if (send_one(p, spool, name) == Next::kStop) return false;
        if (!command(p, "RSET\r\n")) return false;
    }
    if (number == 0) p.t.out.text(kNoMessages);
    return true;
}

void log_pass(const SendPass& p) {
    if (!config::live().LogMailSend) return;
    if (p.problem)
        log::mail(false, "Mail send: problems sending e-mails to SMTP server, see error log for details");
    else if (p.count > 0)
        log::mail(true, "Mail send: %d messages (%d bytes) sent successfuly", p.count, static_cast<int>(p.total));
}

void finish(SendPass& p) {
    p.t.out.text("<b>End</b><br>");
    if (p.sock >= 0) (void)net::send_text(p.sock, "QUIT\r\n");
    conn::close_server_socket(p.t.record);
    p.sock = -1;
    log_pass(p);
}

}  // namespace

EnvelopeCommand envelope_command(const char* line, char* out, std::size_t size) {
    switch (line[0]) {
        case '$': {
            const char* text = std::strlen(line) > 3 ? line + 3 : "";
            char address[net::kLineBufferSize];
            if (std::strchr(text, '@'))
                net::extract_mail_address(text, address, sizeof address);
            else if (std::strcmp(text, "<>") == 0)
                address[0] = '\0';  // the null sender, not doubled
            else
                (void)platform::copy_bounded(address, text);
            (void)platform::format_bounded(out, size, "MAIL FROM:<%s>\r\n", address);
            return EnvelopeCommand::kMailFrom;
        }
        case 'B':
        case 'C':
        case 'T':
            (void)platform::format_bounded(out, size, "RCPT TO:%s\r\n", std::strlen(line) > 2 ? line + 2 : "");
            return EnvelopeCommand::kRcptTo;
        case '\0': (void)platform::copy_bounded(out, "DATA\r\n", size); return EnvelopeCommand::kData;
        default: (void)platform::copy_bounded(out, "", size); return EnvelopeCommand::kBad;
    }
}

int send_spool(Transfer& t) {
    const config::Settings& cfg = config::live();
    if (!cfg.SMTPServer[0]) {
        t.out.format("%sSMTP server is not set.", kErrorMark);
        log::error(log::kErrSmtpServerNotSet, 3, 0, "can't send e-mails when SMTP server is not set");
        return 0;
    }
    t.out.text("<b>Sending ...</b><br>");
    auto p = std::make_unique<SendPass>(t);
    count_spool(*p);
    if (p->count == 0) {
        t.out.text(kNoMessages);
        if (!cfg.EtrnNode[0]) {
            log_pass(*p);
            return 1;
        }
    } else {
        t.out.format("<b><font color=\"#0000ff\">%d messages (%.2f kB) to send.</font></b><br>", p->count,
                     static_cast<double>(p->total) / 1024.0);
    }
    switch (connect_server(*p)) {
        case Connected::kUnreachable: return 1;
        case Connected::kFailed: p->problem = true; break;
        case Connected::kYes:
            if (!open_session(*p) || !etrn(*p) || !send_files(*p)) p->problem = true;
            break;
    }
    finish(*p);
    return 1;
}

}  // namespace kv::mail
