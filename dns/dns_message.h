#pragma once
// The DNS messages the internal resolver and the forwarder handle, as pure
// functions over byte buffers: the A query, the reading of its answer, and
// the few header fields the forwarder looks at. Nothing here touches a socket.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace kv::dns {

inline constexpr std::size_t kHeaderSize = 12;
// Header, a 256-character name as labels (258 bytes), type and class.
inline constexpr std::size_t kQuerySize = kHeaderSize + 258 + 4;
inline constexpr std::size_t kLongestQueryName = 256;
inline constexpr std::size_t kLongestLabel = 63;
// Only the start of an answer is read: a lie about its length cannot make the
// walk reach further.
inline constexpr std::size_t kAnswerWindow = 480;

// The outcome of reading an answer: 0 with the address, the server's RCODE
// (1-15), or one of these.
inline constexpr int kCodeNotResponse = 10;  // the response bit is clear
inline constexpr int kCodeNoAnswer = 11;     // no answer records, or none of type A
inline constexpr int kCodeMalformed = 12;    // a field runs past the datagram or the window

// Writes the recursive A/IN query for name with the given ID into out
// (kQuerySize bytes). Returns its length, or 0 for a name that is not sent:
// empty, longer than 256 characters, a label of 64 characters or more, or an
// empty label (one trailing dot only ends the name).
[[nodiscard]] std::size_t build_query(std::uint16_t id, const char* name, std::uint8_t* out);

// The ID of a datagram; false when it is shorter than two bytes.
[[nodiscard]] bool message_id(const std::uint8_t* msg, std::size_t len, std::uint16_t* id);

// Reads an answer (its ID already matched): 0 with *address (network order)
// from the first A record, or a code as above. Reads never leave msg[0, len)
// nor the first kAnswerWindow bytes.
[[nodiscard]] int parse_answer(const std::uint8_t* msg, std::size_t len, in_addr* address);

// The next query ID after id: 65535 wraps to 1, never 0.
[[nodiscard]] inline std::uint16_t following_id(std::uint16_t id) {
    return id == 65535 ? 1 : static_cast<std::uint16_t>(id + 1);
}

// What the forwarder does with one datagram.
enum class Datagram {
    kDrop,    // too short, a stranger's answer, or a query from the upstream itself
    kAnswer,  // from the upstream address and port 53, with the response bit
    kQuery,   // from anyone else, without the response bit
};
// Sorts a datagram by its size, its response bit and its sender.
[[nodiscard]] Datagram classify_datagram(const std::uint8_t* msg, std::size_t len, const sockaddr_in& from,
                                         const sockaddr_in& upstream);

}  // namespace kv::dns
