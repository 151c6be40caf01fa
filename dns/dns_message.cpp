#include "dns/dns_message.h"

#include <cstring>

namespace kv::dns {
namespace {

constexpr std::uint8_t kResponseBit = 0x80;
constexpr std::uint8_t kPointerMark = 0xC0;  // a length byte of 192 or more starts a two-byte pointer
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kDnsPort = 53;

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void write16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v & 0xFF);
}

// Steps over a name at *pos: labels up to the zero byte, or up to a
// compression pointer, which ends it. Pointers are never followed, so no
// chain of them can loop. False when the name runs past end.
bool skip_name(const std::uint8_t* msg, std::size_t end, std::size_t* pos) {
    std::size_t p = *pos;
    while (true) {
        if (p >= end) return false;
        const std::uint8_t n = msg[p];
        if (n == 0) {
            *pos = p + 1;
            return true;
        }
        if (n >= kPointerMark) {
            if (p + 2 > end) return false;
            *pos = p + 2;
            return true;
        }
        p += 1 + n;
    }
}

}  // namespace

std::size_t build_query(std::uint16_t id, const char* name, std::uint8_t* out) {
    if (!name) return 0;
    std::size_t len = std::strlen(name);
    if (len == 0 || len > kLongestQueryName) return 0;
    if (name[len - 1] == '.') --len;  // one trailing dot only ends the name
    if (len == 0) return 0;
    write16(out, id);
    out[2] = 1;  // recursion desired
    out[3] = 0;
    write16(out + 4, 1);
    write16(out + 6, 0);
    write16(out + 8, 0);
    write16(out + 10, 0);
    std::size_t pos = kHeaderSize;
    std::size_t start = 0;
    while (start <= len) {
        std::size_t stop = start;
        while (stop < len && name[stop] != '.') ++stop;
        const std::size_t label = stop - start;
        if (label == 0 || label > kLongestLabel) return 0;
        out[pos++] = static_cast<std::uint8_t>(label);
        std::memcpy(out + pos, name + start, label);
        pos += label;
        start = stop + 1;
    }
    out[pos++] = 0;
    write16(out + pos, kTypeA);
    write16(out + pos + 2, kClassIn);
    return pos + 4;
}

bool message_id(const std::uint8_t* msg, std::size_t len, std::uint16_t* id) {
    if (len < 2) return false;
    *id = read16(msg);
    return true;
}

int parse_answer(const std::uint8_t* msg, std::size_t len, in_addr* address) {
    const std::size_t end = len < kAnswerWindow ? len : kAnswerWindow;
    if (end < kHeaderSize) return kCodeMalformed;
    const int rcode = msg[3] & 0x0F;
    if (rcode != 0) return rcode;
    if (!(msg[2] & kResponseBit)) return kCodeNotResponse;
    const std::uint16_t questions = read16(msg + 4);
    const std::uint16_t answers = read16(msg + 6);
    if (answers == 0) return kCodeNoAnswer;
    std::size_t pos = kHeaderSize;
    for (std::uint16_t i = 0; i < questions; ++i) {
        if (!skip_name(msg, end, &pos) || pos + 4 > end) return kCodeMalformed;
        pos += 4;
    }
    for (std::uint16_t i = 0; i < answers; ++i) {
        // Name, then type, class, time to live and data length: 10 bytes.
        if (!skip_name(msg, end, &pos) || pos + 10 > end) return kCodeMalformed;
        const std::uint16_t type = read16(msg + pos);
        const std::uint16_t data_len = read16(msg + pos + 8);
        pos += 10;
        if (pos + data_len > end) return kCodeMalformed;
        // An A record of another length is no address; the walk goes on.
        if (type == kTypeA && data_len == 4) {
            std::memcpy(&address->s_addr, msg + pos, 4);
            return 0;
        }
        pos += data_len;
    }
    return kCodeNoAnswer;
}

Datagram classify_datagram(const std::uint8_t* msg, std::size_t len, const sockaddr_in& from,
                           const sockaddr_in& upstream) {
    if (len < kHeaderSize) return Datagram::kDrop;
    const bool response = (msg[2] & kResponseBit) != 0;
    const bool from_upstream =
        from.sin_addr.s_addr == upstream.sin_addr.s_addr && from.sin_port == htons(kDnsPort);
    if (from_upstream) return response ? Datagram::kAnswer : Datagram::kDrop;
    return response ? Datagram::kDrop : Datagram::kQuery;
}

}  // namespace kv::dns
