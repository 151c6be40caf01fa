#pragma once
// Local time, the time-zone bias and the millisecond tick.
#include <cstdint>
#include <ctime>

namespace kv::platform {

// Broken-down local time of now.
std::tm local_now();
// Minutes to add to local time to get UTC (positive west of Greenwich: -60 in
// a zone one hour east), read from the system's zone rules for now.
int time_zone_bias_minutes();
// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t tick_ms();
void sleep_ms(unsigned ms);

}  // namespace kv::platform
