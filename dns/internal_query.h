#pragma once
// The resolver's own DNS client: one A query over UDP to DnsServer, port 53,
// sent again on a fixed schedule until an answer with its ID comes or 75 s
// pass. Every failure it knows the meaning of writes its one log entry here.
#include <netinet/in.h>

#include <cstdint>

namespace kv::dns {

// When the query is (re)sent, in ms from its start, and when it ends.
inline constexpr std::uint32_t kSendTimesMs[] = {0, 5000, 15000, 35000};
inline constexpr std::uint32_t kDialCheckMs = 5000;
inline constexpr std::uint32_t kQueryEndMs = 75000;
inline constexpr std::size_t kReceiveSize = 512;

// Asks server (a dotted address) for name's A record. 1 with *out; 0 with
// the socket error set: 11001 no such name (or the line is down at 5 s with
// a dial-up connection named), 11002 server failure or time-out, 11004 no
// address record, 11003 any other answer code; a failed socket call keeps
// its own code.
[[nodiscard]] int internal_query(const char* server, const char* name, in_addr* out);

// The ID the next query takes (the first of a process is 1).
[[nodiscard]] std::uint16_t next_query_id();

// The socket error an answer code fails with.
[[nodiscard]] int error_for_answer_code(int code);

}  // namespace kv::dns
