// Feeds arbitrary lines to the FTP gateway's parsers. The first byte picks
// one: 0 the login split, 1 PORT parse and rewrite, 2 the 227 parse and
// rewrite, 3 reply completion and command classes. Besides the sanitizers'
// checks, each result must be one the gateway can act on, and a rewrite
// must read back as the numbers it was made from.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gateways/ftp_lines.h"

namespace {

using kv::gateways::FtpHostPort;

void check(bool ok) {
    if (!ok) std::abort();
}

bool terminated(const char* text, std::size_t size) { return std::memchr(text, '\0', size) != nullptr; }

void check_login(const char* line) {
    kv::gateways::FtpLogin login;
    char failure[300];
    const char* at = std::strrchr(line, '@');
    if (!kv::gateways::split_ftp_login(line, &login, failure, sizeof failure)) {
        check(terminated(failure, sizeof failure));
        const std::size_t expected = at ? static_cast<std::size_t>(at - line) : std::strlen(line);
        check(std::strlen(failure) == (expected < sizeof failure ? expected : sizeof failure - 1));
        return;
    }
    check(at != nullptr);
    check(terminated(login.command, sizeof login.command) && terminated(login.host, sizeof login.host));
    check(login.command[0] != '\0' && std::strlen(login.command) <= kv::gateways::kFtpLoginCommandMax);
    check(std::strncmp(login.command, line, std::strlen(login.command)) == 0);
    check(login.host[0] != '\0' && !std::strchr(login.host, '@') && !std::strchr(login.host, ':'));
    check(login.port != 0);
}

// A parse that succeeded must survive the gateway's own rewrite unchanged.
void check_rewrite(const FtpHostPort& hp, bool passive) {
    in_addr a{};
    std::memcpy(&a.s_addr, hp.host, 4);
    char text[64];
    FtpHostPort back;
    if (passive) {
        kv::gateways::format_passive_reply(a, hp.port, text, sizeof text);
        check(kv::gateways::parse_passive_reply(text, &back) == 1);
    } else {
        kv::gateways::format_port_command(a, hp.port, text, sizeof text);
        check(kv::gateways::parse_port_command(text, &back) == 1);
        check(kv::gateways::classify_ftp_command(text) == kv::gateways::FtpCommand::kPort);
    }
    check(std::memcmp(back.host, hp.host, 4) == 0 && back.port == hp.port);
}

void check_numbers(const char* line, bool passive) {
    FtpHostPort hp;
    const int ok = passive ? kv::gateways::parse_passive_reply(line, &hp) : kv::gateways::parse_port_command(line, &hp);
    if (!ok) return;
    if (passive) check(std::strncmp(line, "227 ", 4) == 0);
    check_rewrite(hp, passive);
}

void check_reply_line(char* line) {
    const bool complete = kv::gateways::ftp_reply_complete(line, false);
    if (kv::gateways::ftp_reply_complete(line, true)) check(complete);
    (void)kv::gateways::ftp_reply_code(line);
    const auto what = kv::gateways::classify_ftp_command(line);
    if (kv::gateways::ftp_transfer_uploads(line)) check(what == kv::gateways::FtpCommand::kTransfer);
    const std::size_t before = std::strlen(line);
    const int cut = kv::gateways::cut_ftp_line(line);
    check(cut == (before > kv::gateways::kFtpLineMax));
    check(std::strlen(line) <= kv::gateways::kFtpLineMax);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The parsers take NUL-terminated lines, as the line readers give them.
    std::string line(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] & 3) {
        case 0: check_login(line.c_str()); break;
        case 1: check_numbers(line.c_str(), false); break;
        case 2: check_numbers(line.c_str(), true); break;
        default: check_reply_line(line.data()); break;
    }
    return 0;
}
