#include "net/read_deadline.h"

#include <cerrno>
#include <ctime>

namespace kv::net {
namespace {

thread_local std::int64_t t_deadline_ms = 0;  // 0: no limit armed

std::int64_t now_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

ReadDeadline::ReadDeadline(long long ms) : outer_(t_deadline_ms) {
    const std::int64_t mine = now_ms() + ms;
    t_deadline_ms = outer_ != 0 && outer_ < mine ? outer_ : mine;
}

ReadDeadline::~ReadDeadline() { t_deadline_ms = outer_; }

bool read_deadline_passed() {
    if (t_deadline_ms == 0 || now_ms() < t_deadline_ms) return false;
    errno = EAGAIN;
    return true;
}

}  // namespace kv::net
