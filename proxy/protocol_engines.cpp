#include "proxy/protocol_engines.h"

#include "proxy/ftp_engine.h"

namespace kv::proxy {

namespace {

// Nothing was fetched: the cache object opened for this request must not be
// kept, or the next request would be served an empty page from it.
int nothing_fetched(conn::ConnectionRecord& r) {
    r.proxy.discard = 1;
    return 0;
}

}  // namespace

int ftp_over_http(conn::ConnectionRecord& r) { return ftp_engine(r); }
// The browser sees the connection close.
int gopher_over_http(conn::ConnectionRecord& r) { return nothing_fetched(r); }

}  // namespace kv::proxy
