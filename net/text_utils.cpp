#include "net/text_utils.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace kv::net {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
// Days of each month as the cache schedule counts them: February always 28.
constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int lower(char c) { return std::tolower(static_cast<unsigned char>(c)); }

bool is_url_special(char c) { return c == '%' || c == ' ' || c == '?' || c == '+' || c == '&'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct Entity {
    char c;
    const char* text;
};
constexpr Entity kHtmlEntities[] = {{'<', "&lt;"}, {'>', "&gt;"}};

const char* entity_of(char c) {
    for (const Entity& e : kHtmlEntities)
        if (e.c == c) return e.text;
    return nullptr;
}

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

void url_escape(char* text, std::size_t capacity) {
    if (capacity == 0) return;
    // First find how much of the text fits once escaped, then expand from the
    // back so no byte is overwritten before it has been read.
    std::size_t in = 0, out = 0;
    for (; text[in]; ++in) {
        std::size_t need = is_url_special(text[in]) ? 3 : 1;
        if (out + need > capacity - 1) break;
        out += need;
    }
    text[out] = '\0';
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t w = out;
    while (in > 0) {
        char c = text[--in];
        if (is_url_special(c)) {
            unsigned char u = static_cast<unsigned char>(c);
            text[--w] = kHex[u & 0x0f];
            text[--w] = kHex[u >> 4];
            text[--w] = '%';
        } else {
            text[--w] = c;
        }
    }
}

void url_unescape(char* text) {
    char* w = text;
    for (const char* r = text; *r;) {
        int hi, lo;
        if (r[0] == '%' && (hi = hex_value(r[1])) >= 0 && (lo = hex_value(r[2])) >= 0) {
            *w++ = static_cast<char>(hi * 16 + lo);
            r += 3;
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
}

void plus_to_blank(char* text) {
    for (; *text; ++text)
        if (*text == '+') *text = ' ';
}

void html_escape(const char* text, char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t w = 0;
    for (; *text; ++text) {
        const char* e = entity_of(*text);
        std::size_t need = e ? std::strlen(e) : 1;
        if (w + need > size - 1) break;  // cut before an entity, never inside one
        if (e) {
            std::memcpy(out + w, e, need);
        } else {
            out[w] = *text;
        }
        w += need;
    }
    out[w] = '\0';
}

std::size_t html_escape_in_place(char* text, std::size_t capacity) {
    std::size_t len = std::strlen(text);
    std::size_t result = len;
    for (std::size_t i = 0; i < len; ++i)
        if (const char* e = entity_of(text[i])) result += std::strlen(e) - 1;
    if (result + 1 > capacity) return 0;
    text[result] = '\0';
    std::size_t w = result;
    for (std::size_t i = len; i > 0;) {
        char c = text[--i];
        if (const char* e = entity_of(c)) {
            std::size_t n = std::strlen(e);
            w -= n;
            std::memcpy(text + w, e, n);
        } else {
            text[--w] = c;
        }
    }
    return result;
}

const char* find_case_blind(const char* text, const char* pattern) {
    if (!text || !pattern) return nullptr;
    if (!*pattern) return text;
    for (; *text; ++text) {
        std::size_t i = 0;
        while (pattern[i] && text[i] && lower(text[i]) == lower(pattern[i])) ++i;
        if (!pattern[i]) return text;
        if (!text[i]) return nullptr;  // the rest of the text is shorter than the pattern
    }
    return nullptr;
}

bool word_list_match(const char* list, const char* text) {
    if (!list || !text) return false;
    static constexpr char kSeparators[] = " \t\r\n";
    const char* p = list;
    while (*p) {
        p += std::strspn(p, kSeparators);
        std::size_t n = std::strcspn(p, kSeparators);
        if (n == 0) break;
        for (const char* t = text; *t; ++t) {
            std::size_t i = 0;
            while (i < n && t[i] && lower(t[i]) == lower(p[i])) ++i;
            if (i == n) return true;
            if (!t[i]) break;
        }
        p += n;
    }
    return false;
}

int header_value(const char* name, const char* block, std::size_t length, char* out, std::size_t size) {
    if (size == 0) return 0;
    out[0] = '\0';
    std::size_t name_len = std::strlen(name);
    if (length < name_len) return 0;
    for (std::size_t i = 0; i < name_len; ++i)
        if (lower(block[i]) != lower(name[i])) return 0;
    std::size_t r = name_len;
    if (r < length && block[r] == ' ') ++r;
    std::size_t w = 0;
    while (r < length && block[r] != '\0') {
        char c = block[r];
        if (c == '\n') {
            // A folded header continues on lines starting with a blank or tab;
            // the line break itself is not part of the value.
            if (r + 1 < length && (block[r + 1] == ' ' || block[r + 1] == '\t')) {
                ++r;
                continue;
            }
            break;
        }
        if (c == '\r' && (r + 1 >= length || block[r + 1] == '\n')) {
            ++r;
            continue;
        }
        if (w + 1 < size) out[w++] = c;
        ++r;
    }
    out[w] = '\0';
    return 1;
}

void extract_mail_address(const char* text, char* out, std::size_t size) {
    const char* at = std::strchr(text, '@');
    if (!at) {
        platform::copy_bounded(out, text, size);
        return;
    }
    auto is_bound = [](char c) { return c == '<' || c == '>' || c == ' ' || c == '\t'; };
    const char* begin = at;
    while (begin > text && !is_bound(begin[-1])) --begin;
    const char* end = at;
    while (*end && !is_bound(*end)) ++end;
    if (size == 0) return;
    std::size_t n = static_cast<std::size_t>(end - begin);
    if (n > size - 1) n = size - 1;
    std::memcpy(out, begin, n);
    out[n] = '\0';
}

int next_token(const char** cursor, const char* delimiters, char* out, std::size_t size) {
    const char* p = *cursor;
    p += std::strspn(p, delimiters);
    std::size_t n = std::strcspn(p, delimiters);
    *cursor = p + n;
    if (size > 0) out[0] = '\0';
    // An empty or overlong token gives nothing; the cursor still moves past it.
    if (n == 0 || n + 1 > size) return 0;
    std::memcpy(out, p, n);
    out[n] = '\0';
    return 1;
}

void trim_trailing_slash(char* path) {
    std::size_t len = std::strlen(path);
    if (len > 1 && (path[len - 1] == '/' || path[len - 1] == '\\')) path[len - 1] = '\0';
}

void trim(char* text) {
    std::size_t len = std::strlen(text);
    while (len > 0 && std::isspace(static_cast<unsigned char>(text[len - 1]))) --len;
    std::size_t start = 0;
    while (start < len && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    std::memmove(text, text + start, len - start);
    text[len - start] = '\0';
}

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

void html_escape_attribute(const char* text, char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t n = 0;
    for (; text && *text; ++text) {
        const char* entity = nullptr;
        switch (*text) {
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '&': entity = "&amp;"; break;
            case '"': entity = "&quot;"; break;
            default: break;
        }
        const std::size_t len = entity ? std::strlen(entity) : 1;
        if (n + len + 1 > size) break;
        if (entity)
            std::memcpy(out + n, entity, len);
        else
            out[n] = *text;
        n += len;
    }
    out[n] = '\0';
}

}  // namespace kv::net
