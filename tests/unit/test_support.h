#pragma once
// Small fixtures shared by the unit tests: loopback sockets and a scratch logs
// directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/logs.h"
#include "platform/socket.h"

namespace kv::test {

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

// A connected TCP pair on loopback (resets and splicing need TCP).
inline void tcp_pair(platform::Socket& a, platform::Socket& b) {
    unsigned short port = 0;
    platform::Socket listener = loopback_listener(&port);
    ASSERT_TRUE(listener.valid());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.reset(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(a.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    b.reset(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(b.valid());
}

// A fresh directory under /tmp, removed with everything in it at the end.
struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const char* tag = "kv") {
        std::string templ = std::string("/tmp/") + tag + "-XXXXXX";
        path = ::mkdtemp(templ.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

// Opens the logs in a fresh directory for one test and closes them after.
class ScratchLogs {
public:
    explicit ScratchLogs(const std::string& tag)
        : dir_(std::filesystem::temp_directory_path() / ("kv" + tag + "-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(dir_);
        log::set_stopping(false);
        opened_ = log::open_logs(dir_.c_str(), false, false, false) == 1;
    }
    ~ScratchLogs() {
        log::close_logs();
        std::filesystem::remove_all(dir_);
    }
    bool opened() const { return opened_; }
    const std::filesystem::path& dir() const { return dir_; }
    std::string read(const char* name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string error_log() const { return read("error.log"); }

private:
    std::filesystem::path dir_;
    bool opened_ = false;
};

}  // namespace kv::test
