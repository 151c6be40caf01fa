#pragma once
// The FTP gateway's line parsers: the login line, the address numbers of PORT
// and of the 227 reply, the completion of a server reply, and which command a
// client line is. Pure functions over text, so tests and the fuzz target drive
// them without sockets.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace kv::gateways {

inline constexpr std::size_t kFtpLineMax = 200;       // characters of a client or server line
inline constexpr std::size_t kFtpLoginCommandMax = 49;  // characters sent as the first command
inline constexpr std::uint16_t kFtpDefaultPort = 21;

// The client's first line, split at its last "@".
struct FtpLogin {
    char command[kFtpLoginCommandMax + 1]{};  // "USER name", cut to 49 characters
    char host[kFtpLineMax + 1]{};
    std::uint16_t port = kFtpDefaultPort;
};

// Splits the login line. 1 with *out filled. 0 when the line holds no "@",
// nothing stands before or after it, or the port after ":" is not a number in
// 1-65535; failure_text then gets the whole line (no "@") or the line up to
// its last "@" (failure_size bytes, cut to fit).
[[nodiscard]] int split_ftp_login(const char* line, FtpLogin* out, char* failure_text, std::size_t failure_size);

// An IPv4 address and port as the six numbers h1,h2,h3,h4,p1,p2 give them.
struct FtpHostPort {
    unsigned char host[4]{};
    std::uint16_t port{};
};

// The argument of a PORT line: exactly six numbers 0-255 separated by commas,
// blanks allowed around each, after the first five characters. 1 with *out;
// 0 when a number is missing, extra, out of range or not a number.
[[nodiscard]] int parse_port_command(const char* line, FtpHostPort* out);

// A server's answer to PASV: a line that begins with "227 " and holds the six
// numbers between its first "(" and the ")" after it. 1 with *out; 0 otherwise.
[[nodiscard]] int parse_passive_reply(const char* line, FtpHostPort* out);

// "PORT a,b,c,d,hi,lo" and "227 Entering Passive Mode (a,b,c,d,hi,lo)" for
// the gateway's own address and listener port (no line end). out holds
// `size` bytes; the text always fits in 64.
void format_port_command(const in_addr& address, std::uint16_t port, char* out, std::size_t size);
void format_passive_reply(const in_addr& address, std::uint16_t port, char* out, std::size_t size);

// Whether a server line ends its reply: its fourth character is a blank; the
// greeting's last line must also not begin with a blank or a tab.
bool ftp_reply_complete(const char* line, bool greeting);

// The number at the start of a reply's first line; 0 when it has none.
int ftp_reply_code(const char* line);

// What the gateway does with a client's command line.
enum class FtpCommand {
    kPort,      // rewritten with the gateway's address, a data listener made
    kPasv,      // the 227 answer rewritten, a data listener made
    kTransfer,  // RETR, NLST, LIST, STOR, STOU, APPE, MLSD: a data transfer follows
    kQuit,      // exactly "quit" in any case: the gateway says goodbye itself
    kExtended,  // EPSV, EPRT: refused by the gateway, never sent on
    kOther,     // passed on, its reply passed back
};
FtpCommand classify_ftp_command(const char* line);

// Whether a transfer command sends its data from the client to the server
// (STOR, STOU, APPE); the others bring it from the server.
bool ftp_transfer_uploads(const char* line);

// Cuts a server line to kFtpLineMax characters in place; 1 when it was cut.
int cut_ftp_line(char* line);

}  // namespace kv::gateways
