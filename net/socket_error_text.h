#pragma once
// The text shown for a socket error code.

namespace kv::net {

// Socket error text of a code; "Unknown socket error" for codes not in the table.
const char* socket_error_text(int code);

}  // namespace kv::net
