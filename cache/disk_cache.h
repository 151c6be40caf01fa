#pragma once
// The disk cache as the proxy sees it. Until the cache is built every operation
// is refused, as with a cache that failed to start.
#include <cstddef>

#include "host/connection_record.h"

namespace kv::cache {

int start_cache(const char* dir);
void stop_cache();
bool ready();
// Opens a fresh object for reading, positioned after its header; 1 when found.
int open_for_read(host::ConnectionRecord& r);
// Next block of up to size bytes of the object; 0 at its end, -1 on failure.
long read_block(host::ConnectionRecord& r, char* out, std::size_t size);
// Opens the object for writing; may clear r.proxy.cacheable. 1 when open.
int open_for_write(host::ConnectionRecord& r);
// Appends a block to the object being written; 1 or 0.
int append(host::ConnectionRecord& r, const char* data, std::size_t n);
// Finishes (keeps or deletes) the object of this request.
void finish(host::ConnectionRecord& r);
// Deletes the object stored under the key.
void delete_by_key(const unsigned char key[16]);
// Another proxy connection is reading the object this one writes.
bool has_followers(const host::ConnectionRecord& r);

}  // namespace kv::cache
