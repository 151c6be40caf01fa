#include "net/dates.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/bounded_text.h"

namespace kv::net {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
// Days of each month as the cache schedule counts them: February always 28.
constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Month number 1-12 from its first three letters (case-sensitive); January
// when none matches.
int month_from_text(const char* text) {
    for (int i = 0; i < 12; ++i)
        if (std::strncmp(text, kMonths[i], 3) == 0) return i + 1;
    return 1;
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

const char* month_name(int month) { return month >= 1 && month <= 12 ? kMonths[month - 1] : "Jan"; }

const char* day_name(int day) { return day >= 0 && day <= 6 ? kDays[day] : "Mon"; }

std::int64_t parse_http_date(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || *text == '\t') ++text;
    if (std::strlen(text) < 4) return 0;
    char month[16] = "";
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    // The byte after the three-letter weekday tells the form apart.
    if (text[3] == ' ') {
        // asctime: "Sun Nov  6 08:49:37 1994"
        if (std::sscanf(text + 4, "%15s %d %d:%d:%d %d", month, &day, &hour, &minute, &second, &year) != 6)
            return 0;
    } else if (text[3] == ',') {
        // RFC 1123: "Sun, 06 Nov 1994 08:49:37 GMT"
        if (std::sscanf(text + 4, "%d %15s %d %d:%d:%d", &day, month, &year, &hour, &minute, &second) != 6)
            return 0;
    } else {
        // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; the dashes separate fields.
        const char* blank = std::strchr(text, ' ');
        if (!blank) return 0;
        char fields[64];
        platform::copy_bounded(fields, blank + 1);
        for (char* p = fields; *p; ++p)
            if (*p == '-') *p = ' ';
        if (std::sscanf(fields, "%d %15s %d %d:%d:%d", &day, month, &year, &hour, &minute, &second) != 6)
            return 0;
        // Two-digit years are of the 1900s; a four-digit year is taken as written.
        if (year >= 0 && year < 100) year += 1900;
    }
    int mon = month_from_text(month);
    if (year < 1601 || year > 9999 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 60)
        return 0;
    return days_from_civil(year, mon, day) * 86400 + hour * 3600 + minute * 60 + second;
}

long hours_since_epoch(const std::tm& local) {
    const std::int64_t y = static_cast<std::int64_t>(local.tm_year) + 1900;
    int month = local.tm_mon + 1;
    if (month < 1) month = 1;
    if (month > 12) month = 12;
    std::int64_t days = 365 * (y - 1973) + floor_div(y - 1973, 4);
    for (int m = 1; m < month; ++m) days += kMonthDays[m - 1];
    days += local.tm_mday;
    if (y % 4 == 0 && month > 2) days += 1;
    return static_cast<long>(24 * days);
}

void add_days(int* year, int* month, int* day, int n) {
    if (n <= 0) return;
    auto step = [&] {
        if (*month < 1 || *month > 12) *month = 1;
        if (*day < 0) *day = 0;
        if (++*day > kMonthDays[*month - 1]) {
            *day = 1;
            if (++*month > 12) {
                *month = 1;
                ++*year;
            }
        }
    };
    // After one step the date is a real one in a calendar of 365-day years, so
    // whole years can be added at once.
    step();
    --n;
    *year += n / 365;
    for (n %= 365; n > 0; --n) step();
}

}  // namespace kv::net
