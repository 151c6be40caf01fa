// Feeds arbitrary bytes to the RealAudio proxy dialogue as a player's
// stream; a dialogue that succeeds in UDP mode goes on to read the first
// request and the player's port from the rest. Besides the sanitizers'
// checks, every answer must be one of the gateway's own messages and every
// success must carry what a connection needs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gateways/realaudio_dialogue.h"

namespace {

using namespace kv::gateways;

void check(bool ok) {
    if (!ok) std::abort();
}

struct Stream {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    unsigned char sent[4 * kRealAudioAnswerSize]{};
    std::size_t sent_len = 0;
    std::size_t answers = 0;
};

int read_exactly(void* ctx, void* out, std::size_t n) {
    auto* s = static_cast<Stream*>(ctx);
    if (s->size - s->pos < n) {
        s->pos = s->size;
        return 0;
    }
    std::memcpy(out, s->data + s->pos, n);
    s->pos += n;
    return 1;
}

// Keeps the last answers only: a dialogue may answer many version messages.
int send(void* ctx, const void* data, std::size_t n) {
    auto* s = static_cast<Stream*>(ctx);
    check(n >= 4 && n <= kRealAudioAnswerSize);
    if (s->sent_len + n > sizeof s->sent) s->sent_len = 0;
    std::memcpy(s->sent + s->sent_len, data, n);
    s->sent_len += n;
    ++s->answers;
    return 1;
}

void host_known(void*, const char* host) { check(std::strlen(host) < kRealAudioHostSize); }

// The answer at p: the version answer or a type-6 with one of the four codes,
// its length matching its body.
std::size_t check_answer(const unsigned char* p, std::size_t left) {
    check(left >= 4);
    const std::size_t body = static_cast<std::size_t>((p[0] << 8) | p[1]);
    check(body + 2 <= left);
    if (p[2] == kRealAudioVersion) {
        check(body == 2 && p[3] == 1);
    } else {
        check(p[2] == kRealAudioResult && p[3] <= kRealAudioWrongVersion);
    }
    return body + 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Stream s{data, size};
    const RealAudioIo io{read_exactly, send, host_known, &s};
    RealAudioRequest req;
    const int ok = run_realaudio_dialogue(io, &req);
    check(s.pos <= size);
    check(std::memchr(req.host, '\0', sizeof req.host) != nullptr);
    for (std::size_t at = 0; at < s.sent_len;) at += check_answer(s.sent + at, s.sent_len - at);
    if (!ok) return 0;
    check(req.host[0] != '\0' && req.port != 0 && req.version == 1);
    if (req.tcp_only) return 0;
    static unsigned char request[8194];
    std::uint16_t port = 0;
    const std::size_t before = s.pos;
    if (read_realaudio_first_request(io, req.first_request_len, request, sizeof request, &port)) {
        check(req.first_request_len <= kRealAudioFirstRequestMax);
        check(s.pos == before + req.first_request_len + 2);
        check(port == ((data[s.pos - 2] << 8) | data[s.pos - 1]));
    }
    return 0;
}
