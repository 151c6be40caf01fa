#pragma once
// Datagrams with the local address they were sent to (IP_PKTINFO), and
// replies sent from that address: a service that answers on a host with
// several addresses must answer from the one its client asked, or the
// client takes the answer for a stranger's.
#include <netinet/in.h>

#include <cstddef>

namespace kv::net {

struct Datagram {
    std::size_t len = 0;
    sockaddr_in from{};
    in_addr local{};  // 0 when the system did not say
};

// Asks the system to report each datagram's local address.
void want_local_address(int fd);

// One datagram into buffer (size bytes). 1 with a datagram, 0 for an empty
// one, -1 on an error (errno kept); flags as for recvmsg.
int receive_datagram(int fd, void* buffer, std::size_t size, int flags, Datagram* d);

// Sends data to `to` from the local address `from` (0: the system chooses).
// A lost datagram is the sender's to repeat: nothing is reported.
void send_datagram_from(int fd, const void* data, std::size_t len, const sockaddr_in& to, const in_addr& from,
                        int flags);

}  // namespace kv::net
