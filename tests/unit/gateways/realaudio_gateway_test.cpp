#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conn/service_areas.h"
#include "gateways/realaudio_dialogue.h"
#include "gateways/realaudio_gateway.h"

namespace kv::gateways {
namespace {

using namespace std::string_literals;

// A player held in memory: reads take from `input` (all or nothing, as a
// socket's read-exactly does), sends append to `sent`.
struct Player {
    std::string input;
    std::size_t pos = 0;
    std::string sent;
    bool send_ok = true;
    std::vector<std::string> hosts;

    RealAudioIo io() {
        return RealAudioIo{
            [](void* c, void* out, std::size_t n) {
                auto* p = static_cast<Player*>(c);
                if (p->input.size() - p->pos < n) {
                    p->pos = p->input.size();
                    return 0;
                }
                std::memcpy(out, p->input.data() + p->pos, n);
                p->pos += n;
                return 1;
            },
            [](void* c, const void* data, std::size_t n) {
                auto* p = static_cast<Player*>(c);
                p->sent.append(static_cast<const char*>(data), n);
                return p->send_ok ? 1 : 0;
            },
            [](void* c, const char* host) { static_cast<Player*>(c)->hosts.emplace_back(host); }, this};
    }
};

std::string length16(std::size_t n) { return {static_cast<char>(n >> 8), static_cast<char>(n & 0xff)}; }

// One message: the length, the type byte, the rest of the body.
std::string msg(int type, const std::string& rest = "") {
    return length16(rest.size() + 1) + static_cast<char>(type) + rest;
}
std::string value16(unsigned v) { return length16(v); }

const std::string kVersionOk = "\0\2\1\1"s;
std::string result(int code, const std::string& text) {
    return length16(text.size() + 2) + '\6' + static_cast<char>(code) + text;
}
const std::string kBadInfo = result(2, "bad info passed in proxy dialog.");
const std::string kWrongVersion = result(3, "Wrong Proxy Version.");

const std::string kVersion = msg(1, "\1");
const std::string kHost = msg(2, "stream.example");
const std::string kPort = msg(3, value16(7070));
const std::string kEnd = msg(0);

struct DialogueCase {
    std::string input;
    int result;
    std::string sent;
    std::string host = "";
    unsigned port = 0;
    unsigned first_len = 0;
    bool tcp_only = false;
    std::size_t left = 0;  // bytes the dialogue left unread
};

TEST(RealAudioDialogue, MessagesAnswersAndLimits) {
    const std::string host255(255, 'h');
    const DialogueCase kCases[] = {
        // 0: a whole dialogue.
        {kVersion + kHost + kPort + msg(4, value16(300)) + msg(5, "\1") + kEnd, 1, kVersionOk, "stream.example",
         7070, 300, true},
        // 1: without a transport message the stream comes by UDP; zero asks for UDP too.
        {kVersion + kHost + kPort + kEnd, 1, kVersionOk, "stream.example", 7070},
        {kVersion + kHost + kPort + msg(5, "\1") + msg(5, "\0"s) + kEnd, 1, kVersionOk, "stream.example", 7070},
        // 3: messages before the version are kept.
        {kHost + kPort + msg(4, value16(2)) + kVersion + kEnd, 1, kVersionOk, "stream.example", 7070, 2},
        // 4: an end without host, version or port is answered code 2.
        {kVersion + kPort + kEnd, 0, kVersionOk + kBadInfo, "", 7070},
        {kHost + kPort + kEnd, 0, kBadInfo, "stream.example", 7070},
        {kVersion + kHost + kEnd, 0, kVersionOk + kBadInfo, "stream.example"},
        {kVersion + kHost + msg(3, value16(0)) + kEnd, 0, kVersionOk + kBadInfo, "stream.example"},
        {kEnd, 0, kBadInfo},
        // 9: a wrong version is answered code 3 and nothing more is read.
        {msg(1, "\2") + kEnd, 0, kWrongVersion, "", 0, 0, false, kEnd.size()},
        {kHost + msg(1, "\0"s) + kEnd, 0, kWrongVersion, "stream.example", 0, 0, false, kEnd.size()},
        // 11: lengths 0 and over 256 end the dialogue unanswered, their bodies unread.
        {length16(0) + kEnd, 0, "", "", 0, 0, false, kEnd.size()},
        {kVersion + length16(257) + "\2"s + std::string(256, 'x'), 0, kVersionOk, "", 0, 0, false, 257},
        {length16(65535) + "\2"s + std::string(100, 'x'), 0, "", "", 0, 0, false, 101},
        // 14: length 256 holds a host of 255 characters.
        {kVersion + msg(2, host255) + kPort + kEnd, 1, kVersionOk, host255, 7070},
        // 15: length 1: the type alone; too short for a value, it stores nothing.
        {kVersion + kHost + kPort + msg(2) + msg(3) + msg(1) + msg(4) + msg(5) + kEnd, 1, kVersionOk,
         "stream.example", 7070},
        {msg(1) + kHost + kPort + kEnd, 0, kBadInfo, "stream.example", 7070},
        // 17: too short for a 16-bit value: the port given before stays.
        {kVersion + kHost + kPort + msg(3, "\1") + msg(4, "\1") + kEnd, 1, kVersionOk, "stream.example", 7070},
        // 18: truncated bodies and lengths fail unanswered.
        {kVersion + length16(10) + "\2abc", 0, kVersionOk},
        {kVersion + "\0"s, 0, kVersionOk},
        {"", 0, ""},
        {kVersion + kHost + kPort, 0, kVersionOk, "stream.example", 7070},
        // 22: unknown types are read and ignored, a type-6 from the player too.
        {kVersion + msg(7, "abc") + msg(255) + msg(6, "\0ok"s) + kHost + kPort + kEnd, 1, kVersionOk,
         "stream.example", 7070},
        // 23: a type-4 value of 65535 is kept (the UDP read refuses it later).
        {kVersion + kHost + kPort + msg(4, value16(65535)) + kEnd, 1, kVersionOk, "stream.example", 7070, 65535},
        // 24: the last host counts; one that begins with NUL is empty.
        {kVersion + msg(2, "first") + kHost + kPort + kEnd, 1, kVersionOk, "stream.example", 7070},
        {kVersion + kHost + msg(2, "\0after"s) + kPort + kEnd, 0, kVersionOk + kBadInfo, "", 7070},
        // 26: each version message is answered; extra body bytes are ignored.
        {kVersion + msg(1, "\1zz") + kHost + msg(3, value16(554) + "zz") + kEnd, 1, kVersionOk + kVersionOk,
         "stream.example", 554},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const DialogueCase& c = kCases[i];
        Player p;
        p.input = c.input;
        RealAudioRequest req;
        EXPECT_EQ(run_realaudio_dialogue(p.io(), &req), c.result) << "row " << i;
        EXPECT_EQ(p.sent, c.sent) << "row " << i;
        EXPECT_EQ(std::string(req.host), c.host) << "row " << i;
        EXPECT_EQ(req.port, c.port) << "row " << i;
        EXPECT_EQ(req.first_request_len, c.first_len) << "row " << i;
        EXPECT_EQ(req.tcp_only, c.tcp_only) << "row " << i;
        EXPECT_EQ(p.input.size() - p.pos, c.left) << "row " << i;
        if (c.result) {
            EXPECT_EQ(req.version, 1) << "row " << i;
        }
    }
}

TEST(RealAudioDialogue, TellsEachHostAsItArrives) {
    Player p;
    p.input = msg(2, "a.example") + msg(2) + msg(2, "b.example") + kPort + kVersion + kEnd;
    RealAudioRequest req;
    ASSERT_EQ(run_realaudio_dialogue(p.io(), &req), 1);
    EXPECT_EQ(p.hosts, (std::vector<std::string>{"a.example", "b.example"}));
}

TEST(RealAudioDialogue, AFailedSendEndsIt) {
    Player p;
    p.input = kVersion + kHost + kPort + kEnd;
    p.send_ok = false;
    RealAudioRequest req;
    EXPECT_EQ(run_realaudio_dialogue(p.io(), &req), 0);
    EXPECT_EQ(p.sent, kVersionOk);
    EXPECT_EQ(p.pos, kVersion.size());
}

TEST(RealAudioDialogue, ResultMessagesAreExact) {
    struct Case {
        std::uint8_t code;
        const char* text;
        std::string wire;
    };
    const Case kCases[] = {
        {kRealAudioSuccess, kRealAudioTextSuccess, "\0\x1a\x06\x00proxy dialog successful."s},
        {kRealAudioConnectFailure, kRealAudioTextNoSocket,
         "\0\x33\x06\x01"s + "couldn't connect to server : can't create socket."},
        {kRealAudioConnectFailure, kRealAudioTextNoName,
         "\0\x31\x06\x01"s + "couldn't connect to server : DNS lookup failed."},
        {kRealAudioConnectFailure, kRealAudioTextNoConnect,
         "\0\x31\x06\x01"s + "couldn't connect to server : connection failed."},
        {kRealAudioBadInfo, kRealAudioTextBadInfo, "\0\x22\x06\x02"s + "bad info passed in proxy dialog."},
        {kRealAudioWrongVersion, kRealAudioTextWrongVersion, "\0\x16\x06\x03"s + "Wrong Proxy Version."},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        Player p;
        EXPECT_EQ(send_realaudio_result(p.io(), kCases[i].code, kCases[i].text), 1) << "row " << i;
        EXPECT_EQ(p.sent, kCases[i].wire) << "row " << i;
    }
    unsigned char small[25];
    EXPECT_EQ(realaudio_result_message(0, kRealAudioTextSuccess, small, sizeof small), 0u);
    unsigned char exact[28];
    EXPECT_EQ(realaudio_result_message(0, kRealAudioTextSuccess, exact, sizeof exact), 28u);
}

TEST(RealAudioFirstRequest, LengthsAndThePlayersPort) {
    struct Case {
        std::size_t len;
        std::size_t available;  // bytes the player sent
        std::size_t size;       // the buffer
        int result;
    };
    constexpr std::size_t kWork = 8194;
    const Case kCases[] = {
        {0, 2, kWork, 1},        {5, 7, kWork, 1},          {8192, 8194, kWork, 1},
        {8193, 8195, 9000, 0},   {65535, 65537, 70000, 0},  {5, 6, kWork, 0},
        {5, 0, kWork, 0},        {8192, 8194, 8193, 0},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        Player p;
        p.input = std::string(c.len, 'r') + "\x1b\x9e" + "next";
        p.input.resize(c.available);
        std::vector<unsigned char> out(c.size);
        std::uint16_t port = 0;
        EXPECT_EQ(read_realaudio_first_request(p.io(), c.len, out.data(), out.size(), &port), c.result) << "row " << i;
        if (c.result) {
            EXPECT_EQ(port, 0x1b9e) << "row " << i;
            EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(c.len)), std::string(c.len, 'r'))
                << "row " << i;
            put_realaudio_port(out.data() + c.len, 40000);
            EXPECT_EQ(out[c.len], 40000 >> 8) << "row " << i;
            EXPECT_EQ(out[c.len + 1], 40000 & 0xff) << "row " << i;
        }
    }
}

// --- the forwarding thread --------------------------------------------------------

sockaddr_in loopback(const char* address, std::uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

platform::Socket udp_on(const char* address, std::uint16_t port = 0) {
    platform::Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = loopback(address, port);
    EXPECT_EQ(::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << address;
    return s;
}

std::uint16_t port_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    (void)::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

void send_to(int fd, const std::string& data, std::uint16_t port) {
    const sockaddr_in to = loopback("127.0.0.1", port);
    ASSERT_EQ(::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(data.size()));
}

// The next datagram within 2 s, or "(none)".
std::string next_datagram(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return "(none)";
    std::string buffer(70000, '\0');
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    return n < 0 ? "(error)" : buffer.substr(0, static_cast<std::size_t>(n));
}

TEST(RealAudioForwarder, PassesTheServersDatagramsWholeAndStopsWithItsFields) {
    platform::Socket player = udp_on("127.0.0.1");
    const std::uint16_t player_port = port_of(player.get());
    platform::Socket server = udp_on("127.0.0.1");
    platform::Socket stranger = udp_on("127.0.0.2");
    auto f = std::make_unique<conn::RealAudioFields>();
    f->to_player.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to_player = loopback("127.0.0.1", player_port);
    ASSERT_EQ(::connect(f->to_player.get(), reinterpret_cast<const sockaddr*>(&to_player), sizeof to_player), 0);
    f->from_server = udp_on("0.0.0.0");
    const std::uint16_t gateway_port = port_of(f->from_server.get());
    f->server_addr = loopback("127.0.0.1").sin_addr;
    EXPECT_EQ(start_realaudio_forwarder(*f), 0);  // no buffer yet
    f->datagram.reset(new char[65536]);
    ASSERT_EQ(start_realaudio_forwarder(*f), 1);

    const std::string large(65000, 'L');
    for (const std::string& d : {std::string("one"), std::string(513, 'm'), large}) {
        send_to(server.get(), d, gateway_port);
        EXPECT_EQ(next_datagram(player.get()), d) << d.size();
    }
    // An empty datagram ends nothing; a stranger's is dropped.
    send_to(server.get(), "", gateway_port);
    send_to(stranger.get(), "stranger", gateway_port);
    send_to(server.get(), "two", gateway_port);
    EXPECT_EQ(next_datagram(player.get()), "two");
    // A player whose port is closed for a moment loses those datagrams only.
    player.reset();
    for (int i = 0; i < 3; ++i) {
        send_to(server.get(), "lost", gateway_port);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    player = udp_on("127.0.0.1", player_port);
    send_to(server.get(), "back", gateway_port);
    EXPECT_EQ(next_datagram(player.get()), "back");

    // Freeing the fields (as a faulted connection's record is freed) wakes
    // and joins the thread before its sockets close, well within its wait.
    const auto start = std::chrono::steady_clock::now();
    f.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

}  // namespace
}  // namespace kv::gateways
