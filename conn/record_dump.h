#pragma once
// What a faulted connection leaves in dump.bin: the raw bytes of its record,
// with every credential it may hold blanked first, since the dump is read by
// whoever debugs the fault and must not hand out passwords.
#include <cstddef>

#include "conn/connection_record.h"

namespace kv::conn {

// Overwrites with '*' the values of the credential lines found in the bytes:
// "Authorization:" and "Proxy-Authorization:" headers, the arguments of
// "PASS", "USER" and "AUTH" commands (any case, followed by a blank or a
// tab, at a line start or after a byte that is not text), the user and
// password of a "scheme://user:password@" address, and the value of a form
// field whose name ends in "password" (up to '&', a blank or the line end).
// Returns the number of bytes blanked.
std::size_t blank_credentials(char* bytes, std::size_t size);

// Appends the record, blanked, to the file at path (created 0600). Beside the
// credential text above, the parts of a parsed proxy request that the proxy
// fields point at are blanked: the ftp:// user and password and the values of
// the Authorization and Proxy-Authorization headers.
bool append_record_dump(const ConnectionRecord& r, const char* path);

}  // namespace kv::conn
