#include "net/datagram.h"

#include <sys/socket.h>

#include <cstring>

namespace kv::net {

void want_local_address(int fd) {
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

int receive_datagram(int fd, void* buffer, std::size_t size, int flags, Datagram* d) {
    iovec iov{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &d->from;
    msg.msg_namelen = sizeof d->from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &msg, flags);
    if (n < 0) return -1;
    d->len = static_cast<std::size_t>(n);
    d->local.s_addr = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d->local = info.ipi_addr;
        }
    }
    return n > 0 ? 1 : 0;
}

void send_datagram_from(int fd, const void* data, std::size_t len, const sockaddr_in& to, const in_addr& from,
                        int flags) {
    iovec iov{const_cast<void*>(data), len};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    sockaddr_in target = to;
    msg.msg_name = &target;
    msg.msg_namelen = sizeof target;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (from.s_addr != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst = from;
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    (void)::sendmsg(fd, &msg, flags);
}

}  // namespace kv::net
