#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace kv::platform {

std::tm local_now() {
    std::time_t now = std::time(nullptr);
    std::tm out{};
    localtime_r(&now, &out);
    return out;
}

int time_zone_bias_minutes() {
    std::tm lt = local_now();
    return static_cast<int>(-lt.tm_gmtoff / 60);
}

std::uint32_t tick_ms() {
    auto d = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace kv::platform
