// Times the resolver's name cache: a hit on the most recent and on the least
// recent of 200 names, from one thread and from two at once, beside
// getaddrinfo of a name from /etc/hosts; with a DNS server address as the
// first argument also a miss through the internal query and the plain UDP
// round trip to the same server. Prints one "name value" line per figure,
// in microseconds per call.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "dns/dns_message.h"
#include "dns/name_cache.h"
#include "dns/resolver.h"
#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

double us_since(Clock::time_point t, long calls) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count() / static_cast<double>(calls);
}

std::vector<std::string> fill_cache() {
    kv::dns::cache_clear();
    std::vector<std::string> names;
    for (int i = 0; i < kv::dns::kCacheEntries; ++i) {
        names.push_back("host" + std::to_string(i) + ".bench.test");
        in_addr a{};
        a.s_addr = htonl(0x0A000000u + static_cast<std::uint32_t>(i));
        kv::dns::cache_insert(names.back().c_str(), a);
    }
    return names;
}

// Hits in insertion order: each found name becomes the newest, so the next
// one asked is always the least recent, at the end of a full scan.
double least_recent_hits(const std::vector<std::string>& names, long calls) {
    const auto t = Clock::now();
    for (long i = 0; i < calls; ++i) {
        in_addr a{};
        if (!kv::dns::lookup(names[static_cast<std::size_t>(i) % names.size()].c_str(), &a)) std::abort();
    }
    return us_since(t, calls);
}

double newest_hits(const std::string& name, long calls) {
    const auto t = Clock::now();
    for (long i = 0; i < calls; ++i) {
        in_addr a{};
        if (!kv::dns::lookup(name.c_str(), &a)) std::abort();
    }
    return us_since(t, calls);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One query and its answer over a connected UDP socket, as the internal query
// does it but with nothing around it.
double raw_round_trip(const char* server, int rounds) {
    kv::platform::Socket sock(::socket(AF_INET, SOCK_DGRAM, 0));
    const int fd = sock.get();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    inet_pton(AF_INET, server, &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) std::abort();
    std::vector<double> times;
    std::uint8_t q[kv::dns::kQuerySize];
    std::uint8_t r[512];
    for (int i = 0; i < rounds; ++i) {
        const std::string name = "raw" + std::to_string(i) + ".bench.test";
        const std::size_t n = kv::dns::build_query(static_cast<std::uint16_t>(i + 1), name.c_str(), q);
        const auto t = Clock::now();
        if (::send(fd, q, n, 0) < 0 || ::recv(fd, r, sizeof r, 0) <= 0) std::abort();
        times.push_back(us_since(t, 1));
    }
    return median(times);
}

double internal_misses(int rounds) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const std::string name = "miss" + std::to_string(i) + ".bench.test";
        in_addr a{};
        const auto t = Clock::now();
        if (!kv::dns::lookup(name.c_str(), &a)) std::abort();
        times.push_back(us_since(t, 1));
    }
    return median(times);
}

}  // namespace

int main(int argc, char** argv) {
    constexpr long kCalls = 200000;
    if (!kv::dns::init_resolver()) return 1;
    auto names = fill_cache();
    std::printf("hit_newest_us %.3f\n", newest_hits(names.back(), kCalls));
    std::printf("hit_least_recent_us %.3f\n", least_recent_hits(names, kCalls));
    double two[2] = {};
    std::thread a([&] { two[0] = least_recent_hits(names, kCalls); });
    std::thread b([&] { two[1] = least_recent_hits(names, kCalls); });
    a.join();
    b.join();
    std::printf("hit_least_recent_two_threads_us %.3f\n", std::max(two[0], two[1]));
    {
        constexpr long kGai = 20000;
        const auto t = Clock::now();
        for (long i = 0; i < kGai; ++i) {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* res = nullptr;
            if (getaddrinfo("localhost", nullptr, &hints, &res) != 0) std::abort();
            freeaddrinfo(res);
        }
        std::printf("getaddrinfo_localhost_us %.3f\n", us_since(t, kGai));
    }
    if (argc > 1) {
        kv::config::Settings& s = kv::config::live();
        std::snprintf(s.DnsServer, sizeof s.DnsServer, "%s", argv[1]);
        s.InternalResolver = 1;
        constexpr int kRounds = 2000;
        std::printf("upstream_round_trip_us %.3f\n", raw_round_trip(argv[1], kRounds));
        std::printf("miss_internal_query_us %.3f\n", internal_misses(kRounds));
    }
    return 0;
}
