#include "dial/demand_rules.h"

#include <cstddef>
#include <cstring>

#include "net/text_scan.h"

namespace kv::dial {
namespace {

constexpr char kSeparators[] = ", ;\t";
constexpr int kDayMinutes = 24 * 60;

bool digit(char c) { return c >= '0' && c <= '9'; }

// "H:MM" or "HH:MM" at *p, hours 0-24, minutes 0-59, at most 24:00; advances
// *p past it. At most two digits each, so no number can grow large.
bool parse_time(const char** p, const char* end, int* minute) {
    const char* s = *p;
    int hours = 0, digits = 0;
    while (s < end && digit(*s) && digits < 2) {
        hours = hours * 10 + (*s++ - '0');
        ++digits;
    }
    if (digits == 0 || s >= end || *s != ':') return false;
    ++s;
    if (end - s < 2 || !digit(s[0]) || !digit(s[1])) return false;
    const int minutes = (s[0] - '0') * 10 + (s[1] - '0');
    s += 2;
    if (minutes > 59 || hours * 60 + minutes > kDayMinutes) return false;
    *minute = hours * 60 + minutes;
    *p = s;
    return true;
}

// One range token [p, end): exactly "time-time".
bool parse_range(const char* p, const char* end, int* from, int* to) {
    if (!parse_time(&p, end, from) || p >= end || *p != '-') return false;
    ++p;
    return parse_time(&p, end, to) && p == end;
}

}  // namespace

bool window_contains(const char* list, int minute) {
    if (!list) return false;
    const char* p = list;
    for (;;) {
        p += std::strspn(p, kSeparators);
        const std::size_t n = std::strcspn(p, kSeparators);
        if (n == 0) return false;
        int from = 0, to = 0;
        if (!parse_range(p, p + n, &from, &to)) return false;
        if (from <= minute && minute < to) return true;
        p += n;
    }
}

bool excepted_name(const char* name, bool except_local, const char* except_strings) {
    if (!name) return false;
    if (except_local && !std::strchr(name, '.')) return true;
    return net::word_list_match(except_strings, name);
}

}  // namespace kv::dial
