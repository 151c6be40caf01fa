// Feeds arbitrary bytes to the proxy's HTTP relay as an origin's answer to a
// plain GET, over socket pairs. Besides the sanitizers' checks, what reaches
// the browser must be the answer with at most one stretch (the Expires line)
// taken out and its end perhaps cut (at the Content-Length), never more bytes
// than the origin sent.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "config/settings.h"
#include "conn/connection_record.h"
#include "platform/socket.h"
#include "proxy/http_relay.h"
#include "proxy/request_parse.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

constexpr char kRequest[] = "GET http://origin.example/page HTTP/1.0\r\nHost: origin.example\r\n\r\n";

std::string drain(int fd) {
    std::string out;
    char block[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, block, sizeof block, MSG_DONTWAIT);
        if (n <= 0) return out;
        out.append(block, static_cast<std::size_t>(n));
    }
}

// out is in with one stretch (possibly empty) removed, and perhaps cut short:
// an answer that runs past its Content-Length reaches the browser only up to
// it.
bool one_stretch_removed(const std::string& in, const std::string& out) {
    if (out.size() > in.size()) return false;
    std::size_t front = 0;
    while (front < out.size() && out[front] == in[front]) ++front;
    return in.find(out.c_str() + front, front, out.size() - front) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool settled = [] {
        kv::config::live().Timeout = 1;
        kv::config::live().EnableCache = 0;
        return true;
    }();
    (void)settled;
    int origin_pair[2], browser_pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, origin_pair) != 0) return 0;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, browser_pair) != 0) {
        kv::platform::Socket a(origin_pair[0]), b(origin_pair[1]);
        return 0;
    }
    kv::platform::Socket origin_end(origin_pair[1]), browser_end(browser_pair[1]);
    const int sent = ::send(origin_end.get(), data, size, MSG_NOSIGNAL);
    check(sent == static_cast<int>(size));  // within the pair's buffer for the lengths run here
    (void)::shutdown(origin_end.get(), SHUT_WR);

    static auto record = std::make_unique<kv::conn::ConnectionRecord>();
    kv::conn::ConnectionRecord& r = *record;
    r.~ConnectionRecord();
    new (&r) kv::conn::ConnectionRecord();
    r.server.reset(origin_pair[0]);
    r.client.reset(browser_pair[0]);
    auto& p = r.proxy;
    std::memcpy(p.request, kRequest, sizeof kRequest - 1);
    check(kv::proxy::take_request_head(p, sizeof kRequest - 1) == kv::proxy::kHeadComplete);
    check(kv::proxy::parse_request_head(p, r.work, sizeof r.work, kv::proxy::ParseSettings{0, 3129, 0}) == 1);
    p.cacheable = 0;

    (void)kv::proxy::http_relay(r);
    r.client.reset();
    r.server.reset();
    const std::string browser = drain(browser_end.get());
    check(one_stretch_removed(std::string(reinterpret_cast<const char*>(data), size), browser));
    (void)drain(origin_end.get());  // the request the relay sent
    return 0;
}
