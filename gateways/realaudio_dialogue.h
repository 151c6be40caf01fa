#pragma once
// The RealAudio gateway's proxy dialogue: length-prefixed messages from the
// player (a 16-bit length in network order, then a body whose first byte is
// the message type) that name the server, its port and the transport, and
// the gateway's answers in the same framing. No sockets here: the reads and
// sends go through RealAudioIo, so the units and the fuzz target drive the
// very loop the gateway runs.
#include <cstddef>
#include <cstdint>

namespace kv::gateways {

// The bodies in use are a few bytes up to a host name; a longer one is no
// player's and ends the dialogue.
inline constexpr std::size_t kRealAudioBodyMax = 256;
// A whole body after its type byte, + NUL.
inline constexpr std::size_t kRealAudioHostSize = kRealAudioBodyMax;
// The player's first request in UDP mode; with the two port bytes after it,
// it fits the connection's work buffer.
inline constexpr std::size_t kRealAudioFirstRequestMax = 8192;
// The longest answer: length, type, code and the longest text.
inline constexpr std::size_t kRealAudioAnswerSize = 64;

// Message types.
inline constexpr std::uint8_t kRealAudioEnd = 0;
inline constexpr std::uint8_t kRealAudioVersion = 1;
inline constexpr std::uint8_t kRealAudioHost = 2;
inline constexpr std::uint8_t kRealAudioPort = 3;
inline constexpr std::uint8_t kRealAudioFirstRequest = 4;
inline constexpr std::uint8_t kRealAudioTransport = 5;
inline constexpr std::uint8_t kRealAudioResult = 6;

// Result codes of a type-6 answer.
inline constexpr std::uint8_t kRealAudioSuccess = 0;
inline constexpr std::uint8_t kRealAudioConnectFailure = 1;
inline constexpr std::uint8_t kRealAudioBadInfo = 2;
inline constexpr std::uint8_t kRealAudioWrongVersion = 3;

// The answers' texts, sent without a terminator.
inline constexpr char kRealAudioTextWrongVersion[] = "Wrong Proxy Version.";
inline constexpr char kRealAudioTextBadInfo[] = "bad info passed in proxy dialog.";
inline constexpr char kRealAudioTextNoSocket[] = "couldn't connect to server : can't create socket.";
inline constexpr char kRealAudioTextNoName[] = "couldn't connect to server : DNS lookup failed.";
inline constexpr char kRealAudioTextNoConnect[] = "couldn't connect to server : connection failed.";
inline constexpr char kRealAudioTextSuccess[] = "proxy dialog successful.";

// What the player asked for. Host, port and version count as given only when
// non-empty or non-zero.
struct RealAudioRequest {
    char host[kRealAudioHostSize]{};
    std::uint16_t port = 0;
    std::uint8_t version = 0;
    std::uint16_t first_request_len = 0;
    bool tcp_only = false;  // without a transport message the stream comes by UDP
};

// The player's side of the dialogue. read_exactly and send return 1 when all
// n bytes went; host_known (may be null) is told each host as it arrives.
struct RealAudioIo {
    int (*read_exactly)(void* ctx, void* out, std::size_t n);
    int (*send)(void* ctx, const void* data, std::size_t n);
    void (*host_known)(void* ctx, const char* host);
    void* ctx;
};

// Runs the dialogue until the player's end message. 1 when it ended with
// host, port and version given; 0 when it failed: a length of 0 or over
// kRealAudioBodyMax, a failed read or send, a wrong version (answered code 3)
// or an end without the three (answered code 2). A good version is answered
// with the four bytes 0, 2, 1, 1; other types are read and ignored, and a
// message too short for its value stores nothing.
[[nodiscard]] int run_realaudio_dialogue(const RealAudioIo& io, RealAudioRequest* req);

// Builds the type-6 answer with code and text into out; returns its length,
// or 0 when it does not fit in size.
std::size_t realaudio_result_message(std::uint8_t code, const char* text, unsigned char* out, std::size_t size);
// Builds and sends it; 1 when sent.
[[nodiscard]] int send_realaudio_result(const RealAudioIo& io, std::uint8_t code, const char* text);

// Reads the player's first request of len bytes and the two bytes of its UDP
// port after it into out (size bytes). 1 with *player_port (host order); 0
// when len is over kRealAudioFirstRequestMax, len + 2 does not fit, or the
// read failed.
[[nodiscard]] int read_realaudio_first_request(const RealAudioIo& io, std::size_t len, unsigned char* out,
                                               std::size_t size, std::uint16_t* player_port);

// Writes port (host order) in network order into the two bytes at out.
void put_realaudio_port(unsigned char* out, std::uint16_t port);

}  // namespace kv::gateways
