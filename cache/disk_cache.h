#pragma once
// The disk cache: one file per object under CacheDir, served again while fresh,
// kept under CacheSize megabytes by a background garbage thread that deletes
// the objects expiring first. Every operation is refused while the cache is
// not ready (not started, start failed, or totals still being rescanned).
//
// Layout under the cache directory:
//   status.bin           the eight totals, 8 x signed 32-bit little-endian:
//                        total bytes; HTTP, FTP, Gopher bytes; total objects;
//                        HTTP, FTP, Gopher objects; one byte more while a
//                        server runs, so that the totals of a killed one are
//                        counted anew at the next start
//   <host>.dns/          one directory per request host (without port)
//   <host>.dns/<k><key>.cch
//                        one object: k is the request kind digit (0 HTTP,
//                        1 FTP, 2 Gopher), key the 32 lowercase hex digits of
//                        the request's cache key
//   gdns.bin, ghash.bin  work files of a garbage run, unlinked at creation
//
// Object file, numbers little-endian:
//   offset  0, 1 byte : format byte: 0 complete (or kept as it was when its
//                       transfer broke), 1 while its writer is storing it; an
//                       object left at 1 by a writer that vanished is never served
//   offset  1, 4 bytes: data offset = 17 + URL length + 1
//   offset  5, 4 bytes: hit count: 1 when written, +1 per cache hit
//   offset  9, 8 bytes: expiry, signed seconds since 1970-01-01 00:00 UTC
//   offset 17         : the object's URL, NUL-terminated
//   data offset       : the response bytes exactly as sent to the browser
//                       (HTTP: status line and header without Expires, body)
// The file's modification time is its last-write time (the garbage run leaves
// objects written after it began).
//
// Names that come from requests or administration links never reach outside
// CacheDir: a host with '/', '\\', ".." or a leading '.' is not cached, and
// directory and object names with '/', '\\' (other than the one separating
// "dir.dns\object.cch"), ".." or NUL are refused.
#include <cstddef>

#include "conn/connection_record.h"

namespace kv::cache {

// Starts the cache on dir (created when missing): 1, or 0 with an error-log
// entry. When status.bin cannot be trusted the totals are rescanned on a
// thread and the cache is ready when that ends.
int start_cache(const char* dir);
// Saves the totals, ends the garbage thread and any rescan, wakes readers
// waiting for a writer. Safe to call when the start failed.
void stop_cache();
bool ready();

// Opens the request's object for reading, at its data: 1 when it is
// fresh or another connection is still writing it (then this one follows the
// writer), 0 otherwise.
int open_for_read(conn::ConnectionRecord& r);
// Next block of up to size bytes of the object; 0 at its end, -1 on failure.
// Following a writer, an empty read waits (3 s at a time, at most 30 times)
// for more, and ends when the writer finishes or the cache stops.
long read_block(conn::ConnectionRecord& r, char* out, std::size_t size);
// An object no writer is storing goes to the socket `to` straight from its
// file (no copy through this process): the bytes sent by one call, 0 at the
// end, -1 on a send error (errno tells), or kUseReadBlock when the object is
// followed or the system cannot (read_block then serves it).
inline constexpr long kUseReadBlock = -2;
long send_direct(conn::ConnectionRecord& r, int to);
// Opens the object for writing (an older copy is replaced). 1 when open; 0
// otherwise, and then r.proxy.cacheable is cleared so the transfer goes on
// uncached (TTL of 0 days, cache not ready, host not allowed, another
// connection already writing it, file error).
int open_for_write(conn::ConnectionRecord& r);
// Appends a block to the object being written; 1, or 0 (the object is then
// marked for deletion at finish).
int append(conn::ConnectionRecord& r, const char* data, std::size_t n);
// Finishes the object of this request: a reader closes it and counts a hit; a
// writer keeps it (counting a miss) or deletes it when it is marked for
// discard, over its kind's size limit, or empty (other than FTP). Hits and
// misses count in the totals and in the counters of the object's kind.
void finish(conn::ConnectionRecord& r);
// Deletes the request's object if present (host, kind and key name it): 1 when
// a file was deleted.
int delete_by_key(const conn::ConnectionRecord& r);
// Another proxy connection is following (reading) the object this one writes.
bool has_followers(const conn::ConnectionRecord& r);

// Administration. relative is "dir.dns\object.cch"; directory is "dir.dns".
// 1 when deleted, 0 when refused (not ready, name not allowed) or absent.
int delete_object_file(const char* relative);
int delete_host(const char* directory);
// HTML fragments sent to fd; "Cache is not started." when not ready (the
// statistics table then sends nothing).
void domain_list(int fd);
void content_list(int fd, const char* directory);
void statistics_table(int fd);

}  // namespace kv::cache
