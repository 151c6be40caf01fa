#pragma once
// The SMTP server: receives mail from the local network, spools what must go
// out and delivers local copies at once through the mail store. A message is
// acknowledged only once every copy it needs is on disk.
#include <cstddef>
#include <cstdint>

#include "conn/connection_record.h"

namespace kv::mail {

inline constexpr int kMaxRecipients = 1024;
inline constexpr std::size_t kRecipientBufferSize = 102400;
inline constexpr std::size_t kSenderSize = 150;      // 149 characters + NUL
inline constexpr std::size_t kRecipientTextSize = 512;
inline constexpr std::size_t kLocalNameSize = 199;
inline constexpr std::size_t kAuthLineSize = 1000;   // 999 characters + NUL
inline constexpr std::size_t kDataBlock = 8192;

// Commands in their order of tests.
enum SmtpCommand { kHelo, kEhlo, kAuthLogin, kMailFrom, kRcpt, kData, kNoop, kRset, kQuit, kHelp, kUnknown };
// Case-blind test of the line's first characters.
[[nodiscard]] SmtpCommand smtp_command(const char* line);

// The recipient's own syntax: 0 acceptable, 1 empty (501), 2 "User unknown"
// (ends in "@", holds "@>" or "<@").
[[nodiscard]] int recipient_syntax(const char* text);

// May a client at client_ip (dotted text) send to recipient text? The
// settings' lists are passed in so the test runs without settings.
struct RelayRules {
    bool authenticated;         // this connection passed AUTH LOGIN
    bool relay_authenticated;   // MailRelayAuthenticated
    const char* relay_ips;      // MailRelayIPs
    const char* local_domains;  // MailLocalDomains
};
[[nodiscard]] bool relay_allowed(const char* recipient, const char* client_ip, const RelayRules& rules);

int smtp_server_init();
void smtp_server_stop();
// The row's handler: runs the dialogue and closes the client socket.
int smtp_serve(conn::ConnectionRecord& r);

}  // namespace kv::mail
