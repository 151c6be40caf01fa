#include "proxy/protocol_engines.h"

namespace kv::proxy {

// Not available in this build: the browser sees the connection close.
int ftp_over_http(conn::ConnectionRecord&) { return 0; }
int gopher_over_http(conn::ConnectionRecord&) { return 0; }

}  // namespace kv::proxy
