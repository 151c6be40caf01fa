#pragma once
// The proxy's request head as pure functions over the request buffer: finding
// the end of the head in received bytes (with the request-line rewrite that
// puts a blank between host and path), cutting the head into the proxy fields,
// the cacheable rule, the keep-on-abort rule and the cache key. No sockets, no
// settings: the caller passes the few settings the parse needs.
#include <cstddef>
#include <cstdint>

#include "conn/connection_record.h"

namespace kv::proxy {

// The head may fill at most this many positions of the request buffer,
// characters inserted by the rewrite included.
inline constexpr std::size_t kHeadLimit = 8192;
inline constexpr int kMaxUsableHeaders = conn::kMaxHeaders - 1;  // 49
inline constexpr std::size_t kMaxHostLength = 214;
// Proxy error codes kept in ProxyFields::error beside socket errors.
inline constexpr int kErrorNoContentLength = 2;
inline constexpr int kErrorZeroContentLength = 3;
inline constexpr int kErrorBadStatusLine = 4;
inline constexpr int kErrorHeadTooLong = 100;

// Progress of the head scan over received bytes. Zero-initialise before the
// first call; every later call continues where the previous one stopped.
struct HeadScan {
    std::size_t scanned;      // raw bytes examined
    std::size_t position;     // where the next byte lands in the rewritten head
    int slashes;
    int spaces;
    int rewrite;              // 0 none yet, 1 at a slash, 2 at a blank
    std::size_t rewrite_at;   // raw index of the byte the rewrite follows
    char last[3];             // the three positions before `position`, newest first
    std::size_t head_raw;     // once complete: raw bytes of the head
    std::size_t head_length;  // once complete: length after the rewrite
};

inline constexpr int kHeadNeedMore = 0;
inline constexpr int kHeadComplete = 1;
inline constexpr int kHeadTooLong = 2;

// Scans raw[s.scanned .. n). The head ends after a LF that follows CR LF CR
// or LF, once at least 5 positions precede it. The rewrite happens at the third
// slash (it becomes " /") or at the second blank ("/ " follows it), whichever
// comes first, and only once. kHeadTooLong when kHeadLimit positions fill
// without an end; kHeadNeedMore when the bytes so far end neither way.
[[nodiscard]] int scan_request_head(const char* raw, std::size_t n, HeadScan& s);

// After kHeadComplete: rewrites the head in place (p.request holds `received`
// raw bytes, at most kHeadLimit; the rewrite and the NUL need 3 more), terminates it
// with NUL at s.head_length and moves the bytes that followed the head (the
// start of a request body) to just after that NUL. Sets p.body/body_length.
void finish_request_head(conn::ProxyFields& p, std::size_t received, const HeadScan& s);

// Runs scan and finish over `received` raw bytes already in p.request.
// Returns kHeadComplete, kHeadNeedMore or kHeadTooLong (error 100 is then set).
[[nodiscard]] int take_request_head(conn::ProxyFields& p, std::size_t received);

// The settings the parse reads.
struct ParseSettings {
    int enable_cache;
    int admin_port;
    int keep_aborted;
};

// Cuts the NUL-terminated head in p.request into the proxy fields, in place.
// First copies the head (at most kHeadLimit bytes) into `work` for the error
// page; on success `work` holds the keyed URL text instead. 1 with parsed = 1;
// 0 when a delimiter is missing, a header line has no ':', there are more than
// 49 headers, the port is not a number up to 65535 or the host is too long.
[[nodiscard]] int parse_request_head(conn::ProxyFields& p, char* work, std::size_t work_size,
                                     const ParseSettings& settings);

// Value of the first header named `name` (case-blind); null when none.
const char* find_request_header(const conn::ProxyFields& p, const char* name);

// The cacheable rule over parsed fields.
[[nodiscard]] int request_cacheable(const conn::ProxyFields& p, const ParseSettings& settings);

// 1 when an object broken off mid-transfer must be deleted: always without
// keep_aborted; with it, unless the path's last '.' is followed by one of the
// twelve kept extensions.
[[nodiscard]] int discard_on_abort(const char* path, int keep_aborted);

// The keyed text "METHOD scheme://host:port/path" into out and its MD5 into key.
void compute_cache_key(const conn::ProxyFields& p, char* out, std::size_t out_size,
                       unsigned char key[16]);

}  // namespace kv::proxy
