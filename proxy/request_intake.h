#pragma once
// The PROXY row: one browser request per connection, from the request head to
// the protocol engine, and the closing of both sockets and the cache object.
#include "conn/connection_record.h"
#include "proxy/request_parse.h"

namespace kv::proxy {

// The PROXY row's handler. Reads, parses and authenticates the request,
// answers refresh, 304, cache hits and the error pages itself, connects to the
// origin or the parent proxy and runs the engine of the request's kind.
// Always closes both sockets. 1 when an engine ran, 0 otherwise (the service
// host ignores the value).
int handle_connection(conn::ConnectionRecord& r);

// Reads the request head from the client into r.proxy.request, in blocks. The
// head is rewritten and NUL-terminated; bytes that arrived after it (the start
// of a request body) are kept at r.proxy.body / body_length. 1 on success; 0
// with r.proxy.error = the socket error (0 when the client closed) or 100 when
// the head filled 8192 positions without its end.
[[nodiscard]] int read_request_head(conn::ConnectionRecord& r);

// Cuts the head into the proxy fields with the live settings (see
// parse_request_head). 1 or 0; on 0 r.work holds the raw head.
[[nodiscard]] int parse_request(conn::ConnectionRecord& r);

// Value of the first request header named `name` (case-blind); null when none.
const char* find_request_header(const conn::ConnectionRecord& r, const char* name);

// Progress point 12; finishes the cache object when this request is cacheable
// or has one open; closes the server and the client socket.
void close_proxy_connection(conn::ConnectionRecord& r);

}  // namespace kv::proxy
