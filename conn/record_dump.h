#pragma once
// What a faulted connection leaves in dump.bin: the raw bytes of its record,
// with every credential it may hold blanked first, since the dump is read by
// whoever debugs the fault and must not hand out passwords.
#include <cstddef>

#include "conn/connection_record.h"

namespace kv::conn {

// Overwrites with '*' the values of the credential lines found in the bytes:
// "Authorization:" and "Proxy-Authorization:" headers, the arguments of
// "PASS", "USER" and "AUTH" commands (any case, at a line start or after a
// byte that is not text), and the
// user and password of a "scheme://user:password@" address. Returns the
// number of bytes blanked.
std::size_t blank_credentials(char* bytes, std::size_t size);

// Appends the record, blanked, to the file at path (created 0600).
bool append_record_dump(const ConnectionRecord& r, const char* path);

}  // namespace kv::conn
