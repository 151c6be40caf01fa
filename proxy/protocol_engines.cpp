#include "proxy/protocol_engines.h"

#include "proxy/ftp_engine.h"
#include "proxy/gopher_engine.h"

namespace kv::proxy {

int ftp_over_http(conn::ConnectionRecord& r) { return ftp_engine(r); }
int gopher_over_http(conn::ConnectionRecord& r) { return gopher_engine(r); }

}  // namespace kv::proxy
