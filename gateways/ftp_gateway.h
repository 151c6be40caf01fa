#pragma once
// The FTP gateway ("FTP GW"): a client logs in as "user@host[:port]", the
// gateway connects to that FTP server, passes the dialogue through and
// carries the data connections of passive and active transfers, answering
// PASV and rewriting PORT with its own addresses. The control dialogue and
// the transfers of one client run on its connection thread, one after the
// other; the data channel lives in the record's FTP fields.
#include <cstddef>

#include "conn/connection_record.h"
#include "gateways/ftp_lines.h"

namespace kv::gateways {

// The connection handler. Closes both control connections and the data
// channel before it returns; 1 when the client said quit, 0 otherwise.
int ftp_gateway_serve(conn::ConnectionRecord& r);

// How passing one server reply ended.
enum class FtpReplyEnd {
    kPassed,        // the completing line was read (and passed on)
    kServerClosed,  // the server closed, the receive failed, or a line ran past the line buffer
    kClientGone,    // sending to the client failed
};

// Reads one server line into work (net::kLineBufferSize bytes), cut to 200
// characters, line end removed. 1, or 0 when the server closed or the line
// ran 8192 bytes without a line feed.
[[nodiscard]] int read_ftp_server_line(int server_fd, char* work);

// Passes one reply from server_fd to client_fd, each line followed by CR LF,
// until the line that completes it. With have_line, work already holds the
// reply's first line. client_fd < 0 reads without passing (the greeting,
// which also ends unread after max_lines lines: kServerClosed). *head gets
// what the reply's first line begins with.
struct FtpReplyHead {
    char first = '\0';  // its first character ('\0' when empty)
    int code = 0;       // the number it starts with (0 when none)
};
FtpReplyEnd pass_ftp_reply(int server_fd, int client_fd, char* work, bool have_line, bool greeting, int max_lines,
                           FtpReplyHead* head);

// Reads a client line of at most 200 characters into line (kFtpLineMax + 1
// bytes), line end removed. 1, or 0 when the client closed, the receive
// failed or the line was longer.
[[nodiscard]] int read_ftp_client_line(int client_fd, char* line);

}  // namespace kv::gateways
