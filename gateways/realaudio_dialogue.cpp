#include "gateways/realaudio_dialogue.h"

#include <cstring>

namespace kv::gateways {
namespace {

// Length 2, type 1, value 1: the version is accepted.
constexpr unsigned char kVersionAnswer[] = {0, 2, kRealAudioVersion, 1};

std::uint16_t value16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

enum class Step { kGoOn, kSucceeded, kFailed };

// One message body of len bytes (1 to kRealAudioBodyMax).
Step take_message(const RealAudioIo& io, const unsigned char* body, std::size_t len, RealAudioRequest* req) {
    switch (body[0]) {
        case kRealAudioEnd:
            if (req->host[0] && req->port != 0 && req->version != 0) return Step::kSucceeded;
            (void)send_realaudio_result(io, kRealAudioBadInfo, kRealAudioTextBadInfo);
            return Step::kFailed;
        case kRealAudioVersion:
            if (len < 2) return Step::kGoOn;
            if (body[1] != 1) {
                (void)send_realaudio_result(io, kRealAudioWrongVersion, kRealAudioTextWrongVersion);
                return Step::kFailed;
            }
            req->version = 1;
            return io.send(io.ctx, kVersionAnswer, sizeof kVersionAnswer) ? Step::kGoOn : Step::kFailed;
        case kRealAudioHost:
            if (len < 2) return Step::kGoOn;
            // The whole body after the type byte; it always fits.
            std::memcpy(req->host, body + 1, len - 1);
            req->host[len - 1] = '\0';
            if (io.host_known) io.host_known(io.ctx, req->host);
            return Step::kGoOn;
        case kRealAudioPort:
            if (len >= 3) req->port = value16(body + 1);
            return Step::kGoOn;
        case kRealAudioFirstRequest:
            if (len >= 3) req->first_request_len = value16(body + 1);
            return Step::kGoOn;
        case kRealAudioTransport:
            if (len >= 2) req->tcp_only = body[1] != 0;
            return Step::kGoOn;
        default:
            return Step::kGoOn;
    }
}

}  // namespace

int run_realaudio_dialogue(const RealAudioIo& io, RealAudioRequest* req) {
    unsigned char body[kRealAudioBodyMax];
    for (;;) {
        unsigned char head[2];
        if (!io.read_exactly(io.ctx, head, sizeof head)) return 0;
        const std::size_t len = value16(head);
        if (len == 0 || len > kRealAudioBodyMax) return 0;
        if (!io.read_exactly(io.ctx, body, len)) return 0;
        switch (take_message(io, body, len, req)) {
            case Step::kGoOn: break;
            case Step::kSucceeded: return 1;
            case Step::kFailed: return 0;
        }
    }
}

std::size_t realaudio_result_message(std::uint8_t code, const char* text, unsigned char* out, std::size_t size) {
    const std::size_t text_len = std::strlen(text);
    const std::size_t body_len = 2 + text_len;
    if (body_len > 0xffff || 2 + body_len > size) return 0;
    out[0] = static_cast<unsigned char>(body_len >> 8);
    out[1] = static_cast<unsigned char>(body_len & 0xff);
    out[2] = kRealAudioResult;
    out[3] = code;
    std::memcpy(out + 4, text, text_len);
    return 2 + body_len;
}

int send_realaudio_result(const RealAudioIo& io, std::uint8_t code, const char* text) {
    unsigned char message[kRealAudioAnswerSize];
    const std::size_t n = realaudio_result_message(code, text, message, sizeof message);
    return n != 0 && io.send(io.ctx, message, n);
}

int read_realaudio_first_request(const RealAudioIo& io, std::size_t len, unsigned char* out, std::size_t size,
                                 std::uint16_t* player_port) {
    if (len > kRealAudioFirstRequestMax || len + 2 > size) return 0;
    if (!io.read_exactly(io.ctx, out, len + 2)) return 0;
    *player_port = value16(out + len);
    return 1;
}

void put_realaudio_port(unsigned char* out, std::uint16_t port) {
    out[0] = static_cast<unsigned char>(port >> 8);
    out[1] = static_cast<unsigned char>(port & 0xff);
}

}  // namespace kv::gateways
