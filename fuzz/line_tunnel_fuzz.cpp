// Feeds arbitrary bytes to the line tunnels' client readers, as if a client
// had typed them, over a socket pair. The first byte picks the reader: 0 the
// Telnet prompt's reply (with the target split of what it read), 1 the POP3
// dialogue. Besides the sanitizers' checks, every result must be one the
// gateway can act on.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "gateways/line_tunnel.h"
#include "platform/socket.h"

namespace {

constexpr std::size_t kMaxInput = 16384;

void check(bool ok) {
    if (!ok) std::abort();
}

void check_telnet(int fd) {
    kv::gateways::TelnetInput in;
    if (!kv::gateways::read_telnet_reply(fd, &in)) return;
    check(in.line_len <= kv::gateways::kTelnetLineMax);
    check(std::strlen(in.line) <= in.line_len);  // a typed NUL ends the text early
    check(in.store_len <= sizeof in.store);
    char host[128];
    std::uint16_t port = 0;
    if (!kv::gateways::parse_telnet_target(in.line, host, sizeof host, &port)) return;
    check(host[0] != '\0' && std::memchr(host, '\0', sizeof host) != nullptr);
}

void check_pop3(int fd) {
    char user[kv::gateways::kPop3DialogueLine];
    char host[256] = "unchanged";
    if (!kv::gateways::run_pop3_dialogue(fd, user, sizeof user, host, sizeof host)) return;
    check(std::strlen(user) < sizeof user && std::strchr(user, '#') == nullptr);
    check(std::memchr(host, '\0', sizeof host) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > kMaxInput) return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    const kv::platform::Socket gateway(fds[0]), client(fds[1]);
    if (size > 1 && ::send(client.get(), data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) return 0;
    ::shutdown(client.get(), SHUT_WR);
    // The client reads what the gateway sends (echoes, replies), as a real
    // one does: one-byte echoes would fill the pair's buffer otherwise.
    std::thread reader([fd = client.get()] {
        char sink[4096];
        while (::recv(fd, sink, sizeof sink, 0) > 0) {
        }
    });
    if (data[0] % 2 == 0)
        check_telnet(gateway.get());
    else
        check_pop3(gateway.get());
    ::shutdown(gateway.get(), SHUT_RDWR);
    reader.join();
    return 0;
}
