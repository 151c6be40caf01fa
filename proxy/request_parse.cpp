#include "proxy/request_parse.h"

#include <strings.h>

#include <cstring>

#include "net/md5.h"
#include "platform/bounded_text.h"

namespace kv::proxy {
namespace {

// Partial objects of these types are still worth keeping when a transfer
// breaks off: a browser can show what arrived.
constexpr std::size_t kExtensionSlot = 10;
constexpr char kKeptExtensions[][kExtensionSlot] = {"html", "htm", "txt", "c",   "h",   "cpp",
                                                    "sh",   "gif", "jpeg", "jpg", "mpg", "mpeg"};

// CONNECT requests have no scheme of their own; every record points here.
char g_https[] = "https";

constexpr std::size_t kMaxCacheableHost = 64;
constexpr std::size_t kMaxCacheablePath = 300;
constexpr std::size_t kMaxCacheableScheme = 8;

void remember(HeadScan& s, char c) {
    s.last[2] = s.last[1];
    s.last[1] = s.last[0];
    s.last[0] = c;
}

// Cuts a line end in place: the LF at `lf` and a CR just before it (not
// before `start`).
void cut_line_end(char* start, char* lf) {
    *lf = '\0';
    if (lf > start && lf[-1] == '\r') lf[-1] = '\0';
}

// The port after the host: decimal digits only, at most 65535.
int parse_port(const char* text, std::uint16_t* out) { return platform::parse_decimal(text, 0, 65535, out); }

std::uint32_t kind_of_scheme(const char* scheme) {
    if (strcasecmp(scheme, "http") == 0) return conn::kKindHttp;
    if (strcasecmp(scheme, "https") == 0) return conn::kKindHttps;
    if (strcasecmp(scheme, "ftp") == 0) return conn::kKindFtp;
    if (strcasecmp(scheme, "gopher") == 0) return conn::kKindGopher;
    return conn::kKindHttp;
}

std::uint16_t default_port(std::uint32_t kind) {
    switch (kind) {
        case conn::kKindFtp: return 21;
        case conn::kKindGopher: return 70;
        case conn::kKindHttps: return 443;
        default: return 80;
    }
}

// Header lines from `cur` up to the empty line. 1, or 0 when the text ends
// first, a line has no ':' or the table would take a 50th header.
int parse_headers(conn::ProxyFields& p, char* cur) {
    for (;;) {
        if (cur[0] == '\n' || (cur[0] == '\r' && cur[1] == '\n')) return 1;
        char* line_end = std::strchr(cur, '\n');
        if (!line_end) return 0;
        char* colon = static_cast<char*>(std::memchr(cur, ':', static_cast<std::size_t>(line_end - cur)));
        if (!colon) return 0;
        *colon = '\0';
        char* value = colon + 1;
        if (*value == ' ') ++value;
        // Lines that begin with a tab, a blank or ';' continue the value; the
        // breaks between them stay inside it.
        char* end = line_end;
        while (end[1] == '\t' || end[1] == ' ' || end[1] == ';') {
            char* next = std::strchr(end + 1, '\n');
            if (!next) return 0;
            end = next;
        }
        cut_line_end(value, end);
        if (p.header_count >= kMaxUsableHeaders) return 0;
        p.headers[p.header_count].name = cur;
        p.headers[p.header_count].value = value;
        ++p.header_count;
        cur = end + 1;
    }
}

}  // namespace

int scan_request_head(const char* raw, std::size_t n, HeadScan& s) {
    while (s.scanned < n) {
        if (s.position >= kHeadLimit) return kHeadTooLong;
        const char c = raw[s.scanned];
        if (c == '\n' && s.position >= 5 &&
            (s.last[0] == '\n' || (s.last[0] == '\r' && s.last[1] == '\n' && s.last[2] == '\r'))) {
            s.head_raw = s.scanned + 1;
            s.head_length = s.position + 1;
            return kHeadComplete;
        }
        remember(s, c);
        ++s.position;
        if (c == '/') ++s.slashes;
        if (c == ' ') ++s.spaces;
        if (!s.rewrite && c == '/' && s.slashes == 3) {
            // "http://host/path" becomes "http://host /path".
            s.last[0] = ' ';
            remember(s, '/');
            ++s.position;
            s.rewrite = 1;
            s.rewrite_at = s.scanned;
        } else if (!s.rewrite && c == ' ' && s.spaces == 2) {
            // "http://host HTTP/1.0" becomes "http://host / HTTP/1.0".
            remember(s, '/');
            remember(s, ' ');
            s.position += 2;
            s.rewrite = 2;
            s.rewrite_at = s.scanned;
        }
        ++s.scanned;
    }
    return s.position >= kHeadLimit ? kHeadTooLong : kHeadNeedMore;
}

void finish_request_head(conn::ProxyFields& p, std::size_t received, const HeadScan& s) {
    char* buf = p.request;
    const std::size_t extra = received - s.head_raw;
    const std::size_t inserted = s.head_length - s.head_raw;
    // The body bytes go behind the head's terminator first, so that the
    // rewrite below never writes over them.
    std::memmove(buf + s.head_length + 1, buf + s.head_raw, extra);
    if (s.rewrite) {
        const std::size_t after = s.rewrite_at + 1;
        std::memmove(buf + after + inserted, buf + after, s.head_raw - after);
        if (s.rewrite == 1) {
            buf[s.rewrite_at] = ' ';
            buf[after] = '/';
        } else {
            buf[after] = '/';
            buf[after + 1] = ' ';
        }
    }
    buf[s.head_length] = '\0';
    p.body = buf + s.head_length + 1;
    p.body_length = static_cast<int>(extra);
}

int take_request_head(conn::ProxyFields& p, std::size_t received) {
    if (received > kHeadLimit) received = kHeadLimit;
    HeadScan s{};
    const int state = scan_request_head(p.request, received, s);
    if (state == kHeadComplete) finish_request_head(p, received, s);
    if (state == kHeadTooLong) p.error = kErrorHeadTooLong;
    return state;
}

int parse_request_head(conn::ProxyFields& p, char* work, std::size_t work_size,
                       const ParseSettings& settings) {
    // The raw head stays readable for the error page.
    platform::copy_bounded(work, p.request, work_size < kHeadLimit + 1 ? work_size : kHeadLimit + 1);
    p.method = p.scheme = p.host = p.ftp_user = p.ftp_password = p.path = p.version = nullptr;
    p.header_count = 0;
    p.refresh = 0;
    p.parsed = 0;
    p.kind = conn::kKindHttp;

    char* text = p.request;
    char* cut = std::strchr(text, ' ');
    if (!cut) return 0;
    *cut = '\0';
    p.method = text;
    char* cur = cut + 1;

    if (std::strcmp(p.method, "CONNECT") == 0) {
        p.scheme = g_https;
        p.host = cur;
    } else {
        char* colon = std::strchr(cur, ':');
        if (!colon || colon[1] == '\0' || colon[2] == '\0') return 0;
        *colon = '\0';
        p.scheme = cur;
        char* authority = colon + 3;
        char* slash = std::strchr(authority, '/');
        char* at = std::strchr(authority, '@');
        if (at && (!slash || at < slash)) {
            *at = '\0';
            p.ftp_user = authority;
            if (char* sep = std::strchr(authority, ':')) {
                *sep = '\0';
                p.ftp_password = sep + 1;
            }
            p.host = at + 1;
        } else {
            p.host = authority;
        }
    }

    cut = std::strchr(p.host, ' ');
    if (!cut) return 0;
    *cut = '\0';
    p.path = cut + 1;
    cut = std::strchr(p.path, ' ');
    if (!cut) return 0;
    *cut = '\0';
    p.version = cut + 1;
    char* lf = std::strchr(p.version, '\n');
    if (!lf) return 0;
    cut_line_end(p.version, lf);
    // The three parts must come from the request line itself: a part that
    // ran on past a line end would carry the client's own header lines
    // into the request line sent on.
    for (const char* part : {p.method, p.scheme, p.host, p.path})
        if (std::strpbrk(part, "\r\n")) return 0;

    if (char* refresh = std::strstr(p.path, ";refresh")) {
        *refresh = '\0';
        p.refresh = 1;
    }

    if (!parse_headers(p, lf + 1)) return 0;

    p.kind = kind_of_scheme(p.scheme);
    if (char* port = std::strchr(p.host, ':')) {
        *port = '\0';
        if (!parse_port(port + 1, &p.dest_port)) return 0;
    } else {
        p.dest_port = default_port(p.kind);
    }
    if (std::strlen(p.host) > kMaxHostLength) return 0;

    p.cacheable = request_cacheable(p, settings);
    p.discard_on_abort = discard_on_abort(p.path, settings.keep_aborted);
    compute_cache_key(p, work, work_size, p.cache_key);
    p.parsed = 1;
    return 1;
}

const char* find_request_header(const conn::ProxyFields& p, const char* name) {
    for (int i = 0; i < p.header_count && i < conn::kMaxHeaders; ++i)
        if (p.headers[i].name && strcasecmp(p.headers[i].name, name) == 0) return p.headers[i].value;
    return nullptr;
}

int request_cacheable(const conn::ProxyFields& p, const ParseSettings& settings) {
    return settings.enable_cache && p.dest_port != settings.admin_port && p.kind != conn::kKindHttps &&
           !p.ftp_user && std::strlen(p.host) < kMaxCacheableHost &&
           std::strlen(p.path) < kMaxCacheablePath && std::strlen(p.scheme) < kMaxCacheableScheme &&
           strcasecmp(p.method, "GET") == 0 && !find_request_header(p, "Authorization");
}

int discard_on_abort(const char* path, int keep_aborted) {
    if (!keep_aborted) return 1;
    const char* dot = std::strrchr(path, '.');
    if (!dot) return 1;
    for (const auto& ext : kKeptExtensions)
        if (strncasecmp(dot + 1, ext, kExtensionSlot) == 0) return 0;
    return 1;
}

void compute_cache_key(const conn::ProxyFields& p, char* out, std::size_t out_size, unsigned char key[16]) {
    // The port is always written, so "host" and "host:80" share one object.
    platform::format_bounded(out, out_size, "%s %s://%s:%d%s", p.method, p.scheme, p.host,
                        static_cast<int>(p.dest_port), p.path);
    net::md5(out, std::strlen(out), key);
}

}  // namespace kv::proxy
