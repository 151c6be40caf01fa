#include "gateways/ftp_lines.h"

#include <strings.h>

#include <cstring>

#include "platform/bounded_text.h"

namespace kv::gateways {
namespace {

constexpr std::size_t kPortArgumentOffset = 5;  // "PORT " before the numbers
constexpr std::size_t kNumberDigitsMax = 3;     // 0-255
constexpr std::size_t kAddressTextSize = 64;    // "255,255,255,255,255,255" and the words around it

bool is_blank(char c) { return c == ' ' || c == '\t'; }

const char* skip_blanks(const char* p, const char* end) {
    while (p < end && is_blank(*p)) ++p;
    return p;
}

// Exactly six numbers 0-255 in [p, end), separated by commas, blanks allowed
// around each. Nothing is wrapped: a number over 255 makes the text unreadable.
bool parse_six_numbers(const char* p, const char* end, FtpHostPort* out) {
    unsigned char n[6];
    for (int i = 0; i < 6; ++i) {
        p = skip_blanks(p, end);
        const char* digits = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        const auto count = static_cast<std::size_t>(p - digits);
        long long value = 0;
        if (count == 0 || count > kNumberDigitsMax || !platform::parse_decimal(digits, count, 0, 255, &value))
            return false;
        n[i] = static_cast<unsigned char>(value);
        p = skip_blanks(p, end);
        if (i < 5) {
            if (p == end || *p != ',') return false;
            ++p;
        }
    }
    if (p != end) return false;
    std::memcpy(out->host, n, 4);
    out->port = static_cast<std::uint16_t>(n[4] << 8 | n[5]);
    return true;
}

// "a,b,c,d" of an address: the dotted form with its dots turned into commas.
void comma_address(const in_addr& address, char* out, std::size_t size) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
    (void)platform::format_bounded(out, size, "%u,%u,%u,%u", b[0], b[1], b[2], b[3]);
}

bool starts_with_nocase(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

int split_ftp_login(const char* line, FtpLogin* out, char* failure_text, std::size_t failure_size) {
    const char* at = std::strrchr(line, '@');
    if (!at) {
        platform::copy_bounded(failure_text, line, failure_size);
        return 0;
    }
    // The text shown on failure is the line up to its last "@".
    const auto before = static_cast<std::size_t>(at - line);
    const std::size_t shown = before < failure_size ? before : failure_size - 1;
    std::memcpy(failure_text, line, shown);
    failure_text[shown] = '\0';

    const char* host = at + 1;
    const char* colon = std::strchr(host, ':');
    const std::size_t host_len = colon ? static_cast<std::size_t>(colon - host) : std::strlen(host);
    if (before == 0 || host_len == 0 || host_len > kFtpLineMax) return 0;
    std::uint16_t port = kFtpDefaultPort;
    if (colon && !platform::parse_decimal(colon + 1, 1, 65535, &port)) return 0;

    const std::size_t command_len = before < kFtpLoginCommandMax ? before : kFtpLoginCommandMax;
    std::memcpy(out->command, line, command_len);
    out->command[command_len] = '\0';
    std::memcpy(out->host, host, host_len);
    out->host[host_len] = '\0';
    out->port = port;
    return 1;
}

int parse_port_command(const char* line, FtpHostPort* out) {
    const std::size_t len = std::strlen(line);
    if (len < kPortArgumentOffset) return 0;
    return parse_six_numbers(line + kPortArgumentOffset, line + len, out) ? 1 : 0;
}

int parse_passive_reply(const char* line, FtpHostPort* out) {
    if (std::strncmp(line, "227 ", 4) != 0) return 0;
    const char* open = std::strchr(line, '(');
    if (!open) return 0;
    const char* close = std::strchr(open + 1, ')');
    if (!close) return 0;
    return parse_six_numbers(open + 1, close, out) ? 1 : 0;
}

void format_port_command(const in_addr& address, std::uint16_t port, char* out, std::size_t size) {
    char text[kAddressTextSize];
    comma_address(address, text, sizeof text);
    (void)platform::format_bounded(out, size, "PORT %s,%d,%d", text, port >> 8, port & 0xff);
}

void format_passive_reply(const in_addr& address, std::uint16_t port, char* out, std::size_t size) {
    char text[kAddressTextSize];
    comma_address(address, text, sizeof text);
    (void)platform::format_bounded(out, size, "227 Entering Passive Mode (%s,%d,%d)", text, port >> 8, port & 0xff);
}

bool ftp_reply_complete(const char* line, bool greeting) {
    if (std::strlen(line) < 4 || line[3] != ' ') return false;
    return !greeting || !is_blank(line[0]);
}

int ftp_reply_code(const char* line) {
    return static_cast<int>(platform::leading_decimal(line, 999999));
}

FtpCommand classify_ftp_command(const char* line) {
    static constexpr const char* kTransfers[] = {"RETR", "NLST", "LIST", "STOR", "STOU", "APPE", "MLSD"};
    if (starts_with_nocase(line, "PORT")) return FtpCommand::kPort;
    if (strcasecmp(line, "quit") == 0) return FtpCommand::kQuit;
    if (starts_with_nocase(line, "PASV")) return FtpCommand::kPasv;
    if (starts_with_nocase(line, "EPSV") || starts_with_nocase(line, "EPRT")) return FtpCommand::kExtended;
    for (const char* t : kTransfers)
        if (starts_with_nocase(line, t)) return FtpCommand::kTransfer;
    return FtpCommand::kOther;
}

bool ftp_transfer_uploads(const char* line) {
    return starts_with_nocase(line, "STOR") || starts_with_nocase(line, "STOU") || starts_with_nocase(line, "APPE");
}

int cut_ftp_line(char* line) {
    if (std::strlen(line) <= kFtpLineMax) return 0;
    line[kFtpLineMax] = '\0';
    return 1;
}

}  // namespace kv::gateways
