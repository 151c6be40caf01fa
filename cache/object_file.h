#pragma once
// The cache's on-disk names and formats, free of any state: object file names
// and paths, the object header, the checks that keep names from requests and
// administration links inside the cache directory, and the eight totals that
// status.bin holds.
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace kv::cache {

// Object header, all numbers little-endian:
//   offset  0, 1 byte : format byte: 0 complete (or kept as it was when its
//                       transfer broke), 1 while its writer is still storing it
//   offset  1, 4 bytes: data offset = 17 + URL length + 1
//   offset  5, 4 bytes: hit count, 1 when written, +1 per cache hit
//   offset  9, 8 bytes: expiry, signed seconds since 1970-01-01 00:00 UTC
//   offset 17         : the object's URL and a NUL
//   data offset       : the response bytes exactly as passed to the browser
// The file's modification time is its last-write time.
inline constexpr std::size_t kHeaderFixedSize = 17;
inline constexpr std::size_t kHitCountOffset = 5;
inline constexpr std::size_t kUrlMax = 511;  // characters; "scheme://host:port/path" fits well inside
inline constexpr std::size_t kHeaderMax = kHeaderFixedSize + kUrlMax + 1;
inline constexpr unsigned char kFormatComplete = 0;
inline constexpr unsigned char kFormatWriting = 1;

struct ObjectHeader {
    unsigned char format;
    std::uint32_t data_offset;
    std::uint32_t hits;
    std::int64_t expiry;
    const char* url;  // decode: points into the decoded bytes, or "" when absent
};

// Writes the header for url into out (cut to kUrlMax characters); returns its
// length (the data offset), or 0 when out is too small.
std::size_t encode_header(const ObjectHeader& h, const char* url, unsigned char* out, std::size_t size);
// Reads the fixed 17 bytes (and the URL when it is among the n bytes and ends
// there). 1 when the header is well formed: known format byte and a data offset
// that fits the URL limit.
int decode_header(const unsigned char* data, std::size_t n, ObjectHeader* out);
void put_le32(unsigned char* p, std::uint32_t v);
std::uint32_t get_le32(const unsigned char* p);
void put_le64(unsigned char* p, std::int64_t v);
std::int64_t get_le64(const unsigned char* p);

// --- names ---------------------------------------------------------------
inline constexpr std::size_t kCacheDirMax = 215;       // characters of CacheDir
inline constexpr std::size_t kObjectNameLength = 37;   // kind digit + 32 hex + ".cch"
inline constexpr std::size_t kPathSize = 512;

// "<kind digit><32 lowercase hex of key>.cch" (kObjectNameLength + NUL bytes).
void object_name(unsigned kind, const unsigned char key[16], char out[kObjectNameLength + 1]);
// The key and kind character of a well-formed object name; 1 when it is one.
int parse_object_name(const char* name, char* kind, unsigned char key[16]);
// "<dir>/<host>.dns/<object name>"; 0 when the host may not name a directory
// or the path does not fit.
int object_path(const char* dir, const char* host, unsigned kind, const unsigned char key[16], char* out,
                std::size_t size);

// A request's host may become a directory name: not empty, no '/', '\\', "..",
// no control character, not starting with '.'.
bool host_name_allowed(const char* host);
// A host directory name as the administration links pass it: a name ending in
// ".dns" (more than just that), without '/', '\\', ".." or a control character.
bool directory_name_allowed(const char* name);
// "dir.dns\<object>.cch" as the delete links pass it, mapped to "dir.dns/<object>.cch"
// in out. 0 when the form is not exactly that (one backslash, a valid directory
// name, a file name ending in ".cch" without '/', '\\' or "..").
int map_relative_name(const char* relative, char* out, std::size_t size);
bool ends_with(const char* text, const char* tail);

// --- totals --------------------------------------------------------------
// status.bin: these eight signed 32-bit numbers, little-endian, in this order.
enum TotalIndex { kTotalBytes, kHttpBytes, kFtpBytes, kGopherBytes, kTotalObjects, kHttpObjects, kFtpObjects, kGopherObjects };
inline constexpr int kTotalCount = 8;
inline constexpr std::size_t kStatusFileSize = 32;
struct Totals {
    std::int32_t v[kTotalCount];
};

// Adds sign * size bytes and sign objects to the kind (0-2) and the totals;
// any other kind changes nothing.
void totals_change(Totals& t, std::int64_t size, int kind, int sign);
// After a garbage run: each value := run + (current - snapshot), so changes
// made by connections during the run survive.
Totals totals_merge(const Totals& run, const Totals& current, const Totals& snapshot);
void totals_encode(const Totals& t, unsigned char out[kStatusFileSize]);
Totals totals_decode(const unsigned char in[kStatusFileSize]);
// Totals read at start are trusted (no rescan) when all 32 bytes were there,
// they describe more than 1 MiB and at least 50 objects.
bool totals_trusted(const Totals& t, std::size_t bytes_read);
// The kind a file name's first character gives: 0-2, or -1.
int kind_of_name(const char* name);

}  // namespace kv::cache
