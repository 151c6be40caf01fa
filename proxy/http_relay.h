#pragma once
// The engines for HTTP requests and CONNECT tunnels, once the server socket is
// connected (to the origin or to the parent proxy), and the writer that sends
// a block to the browser while storing it in the cache object.
#include <cstddef>

#include "conn/connection_record.h"

namespace kv::proxy {

// A response header may hold at most this many bytes.
inline constexpr std::size_t kResponseHeaderLimit = 2049;
inline constexpr std::size_t kRelayBlockSize = 8192;
inline constexpr std::size_t kParentCredentialsSize = 512;   // 511 characters kept
inline constexpr std::size_t kParentAuthLineSize = 1024;     // 1023 characters kept

// Sends the rewritten request, forwards a POST/PUT body, passes the response
// to the browser and the cache. 1 when the server closed after a complete
// response; 0 on any failure (the browser just sees the connection close).
// Writes the access-log entry (LogAccess) except when the browser went away.
[[nodiscard]] int http_relay(conn::ConnectionRecord& r);

// Sends the request line and headers upstream: the path alone to an origin,
// the full URL to the parent proxy (plus one Proxy-Authorization line when
// ParentProxyUsername is set). Proxy-Connection never goes out,
// Proxy-Authorization only to the parent, If-Modified-Since not with Pragma.
// 1, or 0 with r.proxy.error set when the send failed.
[[nodiscard]] int send_request_upstream(conn::ConnectionRecord& r);

// The opaque two-way pipe of a CONNECT request: answers the browser itself
// (direct) or sends the CONNECT on to the parent, whose answer passes through.
void connect_tunnel(conn::ConnectionRecord& r);

// Sends the first `length` bytes of r.work to the browser and, when the
// request is cacheable, appends them to the cache object. 1 when more may
// follow; 0 when the transfer must end (r.proxy.error holds the send error).
// A failed send to the browser carries on only into the cache, when
// ContinueAborted is on or another browser follows this object. A failed
// append stops only the caching (cacheable cleared; the object is deleted at
// finish) unless the browser has gone as well.
[[nodiscard]] int send_to_client_with_cache_copy(conn::ConnectionRecord& r, std::size_t length);
// The same for a block held elsewhere.
[[nodiscard]] int send_block_with_cache_copy(conn::ConnectionRecord& r, const char* data,
                                             std::size_t length);

// The access-log line of this request, when LogAccess is on.
void write_access_entry(conn::ConnectionRecord& r);

}  // namespace kv::proxy
