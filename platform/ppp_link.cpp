#include "platform/ppp_link.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/bounded_text.h"

namespace kv::platform {
namespace {

const char* from_env(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && v[0] ? v : fallback;
}

bool ends_with(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

void add_quoted(std::string& out, const char* word, const char* value) {
    out += word;
    out += " \"";
    for (const char* p = value; *p; ++p) {
        if (*p == '\\' || *p == '"') out += '\\';
        out += *p;
    }
    out += "\"\n";
}

// One line of a pid file without its line feed: [begin, end) of data, and
// where the next one starts. false when no line feed ends it.
bool next_line(const char* data, std::size_t n, std::size_t* at, std::size_t* begin, std::size_t* end) {
    if (*at >= n) return false;
    const void* lf = std::memchr(data + *at, '\n', n - *at);
    if (!lf) return false;
    *begin = *at;
    *end = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
    *at = *end + 1;
    return true;
}

bool interface_name_ok(const char* s, std::size_t n) {
    if (n == 0 || n >= kInterfaceNameSize) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c <= ' ' || c == '/' || c >= 0x7f) return false;
    }
    return true;
}

}  // namespace

const char* pppd_program() { return from_env("KORVANET_PPPD", "/usr/sbin/pppd"); }
const char* ppp_peers_dir() { return from_env("KORVANET_PPP_PEERS", "/etc/ppp/peers"); }

std::vector<std::string> ppp_run_dirs() {
    if (const char* v = std::getenv("KORVANET_PPP_RUN"); v && v[0]) return {v};
    return {"/run", "/run/pppd"};
}

PppdPresence pppd_presence(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? PppdPresence::kAbsent
                                                                           : PppdPresence::kUnusable;
    if (!S_ISREG(st.st_mode) || ::access(path, X_OK) != 0) return PppdPresence::kUnusable;
    return PppdPresence::kPresent;
}

std::vector<std::string> phone_book(const char* dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir);
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || ends_with(name, "~") || name.size() > kPeerNameMax) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());  // byte order: std::string compares as unsigned char
    if (names.size() > kPhoneBookMax) names.resize(kPhoneBookMax);
    return names;
}

bool peer_name_usable(const char* name) {
    if (!name || !name[0] || name[0] == '.' || name[0] == '-') return false;
    for (const char* p = name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '/' || c < ' ' || c == 0x7f) return false;
    }
    return true;
}

std::string pppd_auth_options(const char* user, const char* password) {
    std::string out;
    if (user && user[0]) add_quoted(out, "user", user);
    if (password && password[0]) add_quoted(out, "password", password);
    return out;
}

bool peer_file_exists(const char* dir, const char* name) {
    if (!peer_name_usable(name)) return false;
    const std::string path = std::string(dir) + "/" + name;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int parse_pid_file(const char* data, std::size_t n, pid_t* pid, char (&interface)[kInterfaceNameSize]) {
    interface[0] = '\0';
    if (n > kPidFileMax) return 0;
    std::size_t at = 0, begin = 0, end = 0;
    if (!next_line(data, n, &at, &begin, &end)) return 0;
    long long value = 0;
    if (!parse_decimal(data + begin, end - begin, 1, 0x7fffffff, &value)) return 0;
    if (next_line(data, n, &at, &begin, &end)) {
        if (!interface_name_ok(data + begin, end - begin) || at != n) return 0;
        std::memcpy(interface, data + begin, end - begin);
        interface[end - begin] = '\0';
    } else if (at != n) {
        return 0;  // a second line still being written
    }
    *pid = static_cast<pid_t>(value);
    return 1;
}

int pid_file_interface(const char* data, std::size_t n, pid_t child, const char* file_name,
                       char (&interface)[kInterfaceNameSize]) {
    pid_t pid = 0;
    if (child <= 0 || !parse_pid_file(data, n, &pid, interface) || pid != child) {
        interface[0] = '\0';
        return 0;
    }
    if (interface[0]) return 1;
    const std::size_t len = std::strlen(file_name);
    if (len <= 4 || std::strcmp(file_name + len - 4, ".pid") != 0) return 0;
    if (!interface_name_ok(file_name, len - 4)) return 0;
    std::memcpy(interface, file_name, len - 4);
    interface[len - 4] = '\0';
    return 1;
}

RasError ras_error_for(int wait_status) {
    static constexpr struct {
        int status;
        RasError error;
    } kTable[] = {
        {2, {625, "The phone book entry is invalid."}},
        {4, {608, "The device does not exist."}},
        {5, {631, "The port was disconnected by the user."}},
        {6, {633, "The port is already in use or is not configured for dial out."}},
        {7, {633, "The port is already in use or is not configured for dial out."}},
        {8, {651, "The modem (or other connecting device) has reported an error."}},
        {9, {651, "The modem (or other connecting device) has reported an error."}},
        {18, {651, "The modem (or other connecting device) has reported an error."}},
        {10, {734, "The PPP link control protocol terminated."}},
        {11, {645, "The remote computer could not be authenticated."}},
        {12, {628, "The connection was closed."}},
        {13, {628, "The connection was closed."}},
        {14, {628, "The connection was closed."}},
        {15, {629, "The port was disconnected by the remote machine."}},
        {16, {629, "The port was disconnected by the remote machine."}},
        {17, {737, "Loopback detected."}},
        {19, {691, "Access denied because username and/or password is invalid."}},
    };
    if (WIFEXITED(wait_status)) {
        for (const auto& row : kTable)
            if (row.status == WEXITSTATUS(wait_status)) return row.error;
    }
    return kRasUnknown;
}

}  // namespace kv::platform
