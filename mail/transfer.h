#pragma once
// One mail transfer as its two passes see it: the connection record whose
// server socket holds the upstream connection of the moment (a kill from the
// status page wakes it), the state that must be undone even when a fault
// ends the transfer, and the progress output for the browser that asked.
#include <cstdarg>

#include "conn/connection_record.h"
#include "platform/socket.h"

namespace kv::mail {

// Kept in the connection record's mail session: freeing the record releases
// the flags this transfer holds and closes the scratch file, also after a
// fault that skipped the handler's destructors.
struct TransferState {
    platform::File scratch;   // the download's recvmail.tmp
    bool holds_transfer = false;
    bool holds_receiving = false;
};

// HTML fragments for the browser (fd -1: nobody listens). The first write
// that fails or times out ends the writing, never the transfer.
class TransferOutput {
public:
    explicit TransferOutput(int fd) : fd_(fd) {}
    void text(const char* s);
    // At most 299 characters, like every formatted fragment.
    void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // The socket while writing goes on, else -1 (for delivery's progress).
    int fd() const { return fd_; }

private:
    int fd_;
};

struct Transfer {
    conn::ConnectionRecord& record;
    TransferState& state;
    TransferOutput out;
};

// The upstream connection of a pass: opened into the record's server socket.
// 1 when connected; else 0 with the socket error kept as the thread's last
// socket error and *lookup_failed telling a name that did not resolve.
[[nodiscard]] int connect_upstream(Transfer& t, const char* host, unsigned short port, bool may_dial,
                                   char* reason, std::size_t reason_size, bool* lookup_failed);
// The failure that needs the dial-up line the passes may not dial: a host
// unreachable or a name lookup failure with a dial-up connection configured.
[[nodiscard]] bool unreachable_without_dial(int error, bool lookup_failed);

}  // namespace kv::mail
