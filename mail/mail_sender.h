#pragma once
// The send pass of a mail transfer: every spool file to the upstream SMTP
// server (SMTPServer on SmtpSendPort), after AUTH LOGIN and ETRN when they
// are configured. A spool file leaves the queue only when the upstream took
// the message (2xx to its end of data) or when it went back to the problems
// mailbox; everything else stays for the next transfer.
#include <cstddef>

#include "mail/transfer.h"

namespace kv::mail {

// What one envelope line of a spool file sends.
enum class EnvelopeCommand { kMailFrom, kRcptTo, kData, kBad };
// Maps the line (line end removed) and writes the command with its CR LF
// into out (cut to size).
[[nodiscard]] EnvelopeCommand envelope_command(const char* line, char* out, std::size_t size);

// The whole pass with its progress fragments. 0 only when SMTPServer is not set.
int send_spool(Transfer& t);

}  // namespace kv::mail
