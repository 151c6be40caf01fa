#pragma once
// The engines that fetch ftp:// and gopher:// addresses for browsers over the
// already connected server socket. Both answer the browser themselves and
// return 1 when the transfer ran to its end, 0 otherwise.
#include "conn/connection_record.h"

namespace kv::proxy {

[[nodiscard]] int ftp_over_http(conn::ConnectionRecord& r);
[[nodiscard]] int gopher_over_http(conn::ConnectionRecord& r);

}  // namespace kv::proxy
