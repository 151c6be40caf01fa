#pragma once
// Dates: month and day names, the three HTTP date forms, and the day and
// hour counts of the cache's garbage schedule.
#include <cstdint>
#include <ctime>

namespace kv::net {

// "Jan".."Dec" for 1-12 ("Jan" otherwise); "Sun".."Sat" for 0-6 ("Mon" otherwise).
const char* month_name(int month);
const char* day_name(int day);

// The three HTTP date forms to seconds since 1970 (UTC); 0 when they do not scan.
std::int64_t parse_http_date(const char* text);

// Hours since 1973 as the cache's garbage schedule counts them, from local time.
long hours_since_epoch(const std::tm& local);
// Steps a date n days forward with February always 28 days.
void add_days(int* year, int* month, int* day, int n);

}  // namespace kv::net
