#pragma once
// The unit tests' kit: scratch directories and files, connected socket pairs,
// reading what a peer sent, and a scratch logs directory. Every unit test takes
// these from here. Header-only, and it includes only platform/ and log/
// headers, so the programs of the lowest rooms can use it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "log/logs.h"
#include "platform/socket.h"

namespace kv::test {

// --- scratch directories and files ---------------------------------------------

// A fresh directory under /tmp named after tag, removed with everything in it
// at the end.
class ScratchDir {
public:
    explicit ScratchDir(const char* tag = "kv") {
        std::string templ = std::string("/tmp/") + tag + "-XXXXXX";
        if (::mkdtemp(templ.data()) != nullptr)
            path = templ;
        else
            ADD_FAILURE() << "can't make a scratch directory " << templ;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The directory's name with a trailing slash, as KORVANET_HOME takes it.
    std::string with_slash() const { return path.string() + "/"; }

    std::filesystem::path path;
};

// A file holding content, positioned at its start, that disappears with its
// descriptor (it has no name from the start).
inline platform::File scratch_file(const std::string& content = "") {
    std::string templ = "/tmp/kv-file-XXXXXX";
    platform::File f(::mkstemp(templ.data()));
    EXPECT_TRUE(f.valid()) << "can't make a scratch file " << templ;
    if (!f.valid()) return f;
    ::unlink(templ.c_str());
    EXPECT_EQ(::write(f.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::lseek(f.get(), 0, SEEK_SET);
    return f;
}

// The whole content of a file ("" when there is none).
inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Everything a file gives from its current position to its end.
inline std::string read_to_end(const platform::File& f) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(f.get(), buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

// --- connected sockets ------------------------------------------------------------

// A listening socket on 127.0.0.1 with a port the system chose.
inline platform::Socket loopback_listener(unsigned short* port) {
    platform::Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s.get(), 8) != 0) return platform::Socket();
    socklen_t len = sizeof a;
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

// A client socket connected to 127.0.0.1:port; not valid when the connect fails.
inline platform::Socket loopback_connect(unsigned short port) {
    platform::Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) s.reset();
    return s;
}

// A connected local stream pair: what one end sends the other receives.
inline void unix_pair(platform::Socket& a, platform::Socket& b) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
}

// A connected TCP pair on loopback (resets and splicing need TCP).
inline void tcp_pair(platform::Socket& a, platform::Socket& b) {
    unsigned short port = 0;
    platform::Socket listener = loopback_listener(&port);
    ASSERT_TRUE(listener.valid());
    a = loopback_connect(port);
    ASSERT_TRUE(a.valid());
    b.reset(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(b.valid());
}

// Sends the pieces one by one with a 2 ms pause between, so the reader meets
// every split; then closes the sending side.
inline void send_pieces(int fd, const std::vector<std::string>& pieces) {
    for (const auto& p : pieces) {
        ASSERT_EQ(::send(fd, p.data(), p.size(), MSG_NOSIGNAL), static_cast<ssize_t>(p.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::shutdown(fd, SHUT_WR);
}

// --- what a peer sent -------------------------------------------------------------

// More than any test sends: a peer that never stops can't fill the memory.
inline constexpr std::size_t kReadLimit = std::size_t{64} << 20;

// Everything received until the peer closes (or a receive error or timeout),
// at most kReadLimit bytes.
inline std::string drain(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; out.size() < kReadLimit && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}
inline std::string drain(const platform::Socket& s) { return drain(s.get()); }

// Everything already waiting, without waiting for more: for a peer that stays
// open between exchanges.
inline std::string read_available(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; out.size() < kReadLimit && (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}
inline std::string read_available(const platform::Socket& s) { return read_available(s.get()); }

// --- logs -------------------------------------------------------------------------

// Opens the logs in a fresh directory for one test and closes them after.
class ScratchLogs {
public:
    explicit ScratchLogs(const std::string& tag) : scratch_(("kv" + tag).c_str()), dir_(scratch_.path / "logs") {
        log::set_stopping(false);
        opened_ = log::open_logs(dir_.c_str(), false, false, false) == 1;
    }
    ~ScratchLogs() {
        log::close_logs();
        log::set_stopping(false);
    }
    ScratchLogs(const ScratchLogs&) = delete;
    ScratchLogs& operator=(const ScratchLogs&) = delete;

    bool opened() const { return opened_; }
    const std::filesystem::path& dir() const { return dir_; }
    std::string read(const char* name) const { return read_file(dir_ / name); }
    std::string error_log() const { return read("error.log"); }

private:
    ScratchDir scratch_;
    std::filesystem::path dir_;
    bool opened_ = false;
};

}  // namespace kv::test
