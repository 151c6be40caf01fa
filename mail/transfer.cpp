#include "mail/transfer.h"

#include <cstring>

#include "config/settings.h"
#include "net/line_io.h"
#include "net/outbound_connect.h"
#include "platform/bounded_text.h"
#include "platform/socket_error.h"

namespace kv::mail {

void TransferOutput::text(const char* s) {
    if (fd_ >= 0 && !net::send_text(fd_, s)) fd_ = -1;
}

void TransferOutput::format(const char* fmt, ...) {
    if (fd_ < 0) return;
    char buf[net::kSendFormattedSize];
    va_list ap;
    va_start(ap, fmt);
    platform::format_bounded_v(buf, sizeof buf, fmt, ap);
    va_end(ap);
    text(buf);
}

int connect_upstream(Transfer& t, const char* host, unsigned short port, bool may_dial, char* reason,
                     std::size_t reason_size, bool* lookup_failed) {
    *lookup_failed = false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    net::OutboundFailure kind = net::OutboundFailure::kNone;
    platform::Socket s;
    if (!net::resolve_host(host, may_dial, &addr, &kind)) {
        *lookup_failed = true;
        if (platform::last_socket_error() == 0) platform::set_last_socket_error(platform::kWsaHostNotFound);
    } else if (net::new_stream_socket(&s, &kind)) {
        conn::set_server_socket(t.record, std::move(s));
        if (net::connect_socket(t.record.server.get(), addr, may_dial, t.record.dial_use, &kind)) return 1;
    }
    const int err = platform::last_socket_error();
    net::failure_reason(kind, err, may_dial, host, reason, reason_size);
    conn::close_server_socket(t.record);
    platform::set_last_socket_error(err);
    return 0;
}

bool unreachable_without_dial(int error, bool lookup_failed) {
    const config::Settings& cfg = config::live();
    return !cfg.AllowToDial && std::strcmp(cfg.ConnName, "(none)") != 0 &&
           (error == platform::kWsaHostUnreachable || lookup_failed || error > 11000);
}

}  // namespace kv::mail
