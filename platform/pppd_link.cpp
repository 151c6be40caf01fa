// The child processes of dial-up: pppd itself and the command run after a
// dial. Each child starts with an empty signal mask, default dispositions,
// stdin on /dev/null and no descriptor of ours beyond what it is given, so it
// never holds a listener, a log file or the instance lock, and a SIGTERM
// blocked in the server's threads never reaches it blocked. Only the pid we
// started is ever waited for or signalled.
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/ppp_link.h"
#include "platform/socket.h"

extern char** environ;

namespace kv::platform {
namespace {

constexpr unsigned kHangUpWaitMs = 10000;
constexpr unsigned kReapPollMs = 20;
constexpr int kOptionsFd = 3;

// The attributes and descriptor plan of one spawn.
class SpawnPlan {
public:
    SpawnPlan() {
        ::posix_spawnattr_init(&attr_);
        ::posix_spawn_file_actions_init(&actions_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        ::posix_spawnattr_setsigmask(&attr_, &none);
        ::posix_spawnattr_setsigdefault(&attr_, &all);
        ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    }
    ~SpawnPlan() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attr_);
    }
    SpawnPlan(const SpawnPlan&) = delete;
    SpawnPlan& operator=(const SpawnPlan&) = delete;

    void output_to_null() {
        ::posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_adddup2(&actions_, 1, 2);
    }
    void give(int fd, int as) { ::posix_spawn_file_actions_adddup2(&actions_, fd, as); }
    void close_from(int fd) { ::posix_spawn_file_actions_addclosefrom_np(&actions_, fd); }

    pid_t run(const char* program, const std::vector<const char*>& args) {
        std::vector<char*> argv;
        for (const char* a : args) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (::posix_spawn(&pid, program, &actions_, &attr_, argv.data(), environ) != 0) return 0;
        return pid;
    }

private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
};

// A pipe whose read end holds text; the write end is closed before the
// child runs. The read end is never descriptor 3 itself, so that the child's
// dup2 onto 3 clears its close-on-exec flag.
int options_pipe(const std::string& text, File* read_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return 0;
    File r(fds[0]), w(fds[1]);
    if (r.get() == kOptionsFd) {
        const int moved = ::fcntl(r.get(), F_DUPFD_CLOEXEC, kOptionsFd + 1);
        if (moved < 0) return 0;
        r.reset(moved);
    }
    std::size_t done = 0;
    while (done < text.size()) {  // a few hundred bytes: far below a pipe's capacity
        const ssize_t n = ::write(w.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += static_cast<std::size_t>(n);
    }
    *read_end = std::move(r);
    return 1;
}

// A pid file read whole: at most one byte more than a pid file may hold, so
// a longer one is seen as such. Only regular files, never through a link.
std::size_t read_small_file(int dir_fd, const char* name, char (&buf)[kPidFileMax + 1]) {
    File f(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!f) return 0;
    struct stat st {};
    if (::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kPidFileMax))
        return 0;
    std::size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = ::read(f.get(), buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// The first IPv4 address the system lists for the interface; 0 when none.
in_addr_t interface_address(const char* name) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return 0;
    in_addr_t found = 0;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || std::strcmp(i->ifa_name, name) != 0) continue;
        found = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (found) break;
    }
    ::freeifaddrs(list);
    return found;
}

bool ends_with_pid(const char* name) {
    const std::size_t n = std::strlen(name);
    return n > 4 && std::strcmp(name + n - 4, ".pid") == 0;
}

// Whether a process exists, without sending it anything.
bool process_exists(pid_t pid) {
    if (pid <= 0) return false;
    const std::string path = "/proc/" + std::to_string(pid);
    return ::access(path.c_str(), F_OK) == 0;
}

int wait_no_hang(pid_t child, int* status) {
    for (;;) {
        const pid_t r = ::waitpid(child, status, WNOHANG);
        if (r == child) return 1;
        if (r == 0) return 0;
        if (errno == EINTR) continue;
        *status = 0;  // not ours to wait for any more: gone
        return 1;
    }
}

class PppdLink final : public PppLink {
public:
    pid_t dial(const char* entry, const char* user, const char* password) override {
        const std::string options = pppd_auth_options(user, password);
        std::vector<const char*> args{pppd_program(), "call", entry};
        SpawnPlan plan;
        File options_end;
        if (!options.empty()) {
            if (!options_pipe(options, &options_end)) return 0;
            plan.give(options_end.get(), kOptionsFd);
            plan.close_from(kOptionsFd + 1);
            args.push_back("file");
            args.push_back("/dev/fd/3");
        } else {
            plan.close_from(kOptionsFd);
        }
        args.push_back("nodetach");
        return plan.run(pppd_program(), args);
    }

    in_addr_t line_address(pid_t child) override {
        for (const std::string& dir : ppp_run_dirs()) {
            DIR* d = ::opendir(dir.c_str());
            if (!d) continue;
            in_addr_t found = 0;
            while (const dirent* e = ::readdir(d)) {
                if (!ends_with_pid(e->d_name)) continue;
                char buf[kPidFileMax + 1];
                const std::size_t n = read_small_file(::dirfd(d), e->d_name, buf);
                char interface[kInterfaceNameSize];
                if (!pid_file_interface(buf, n, child, e->d_name, interface)) continue;
                if ((found = interface_address(interface)) != 0) break;
            }
            ::closedir(d);
            if (found) return found;
        }
        return 0;
    }

    int ended(pid_t child, int* wait_status) override { return child > 0 ? wait_no_hang(child, wait_status) : 1; }

    void hang_up(pid_t child) override {
        if (child <= 0) return;
        int status = 0;
        (void)::kill(child, SIGTERM);
        for (unsigned waited = 0; waited < kHangUpWaitMs; waited += kReapPollMs) {
            if (wait_no_hang(child, &status)) return;
            sleep_ms(kReapPollMs);
        }
        (void)::kill(child, SIGKILL);
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }

    int foreign_line(const char* entry, pid_t ours, pid_t* pid, in_addr_t* address) override {
        if (!peer_name_usable(entry)) return 0;
        const std::string name = std::string("ppp-") + entry + ".pid";
        for (const std::string& dir : ppp_run_dirs()) {
            File d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!d) continue;
            char buf[kPidFileMax + 1];
            const std::size_t n = read_small_file(d.get(), name.c_str(), buf);
            pid_t found = 0;
            char interface[kInterfaceNameSize];
            if (!parse_pid_file(buf, n, &found, interface) || !interface[0]) continue;
            if (found == ours || !process_exists(found)) continue;
            const in_addr_t a = interface_address(interface);
            if (!a) continue;
            *pid = found;
            *address = a;
            return 1;
        }
        return 0;
    }

    void run_command(const char* text, bool hidden) override {
        SpawnPlan plan;
        if (hidden) plan.output_to_null();
        plan.close_from(3);
        const pid_t pid = plan.run("/bin/sh", {"/bin/sh", "-c", text});
        if (pid <= 0) return;
        std::lock_guard<std::mutex> guard(commands_lock_);
        commands_.push_back(pid);
    }

    void reap_commands() override {
        std::lock_guard<std::mutex> guard(commands_lock_);
        commands_.erase(std::remove_if(commands_.begin(), commands_.end(),
                                       [](pid_t p) {
                                           int status = 0;
                                           return wait_no_hang(p, &status) == 1;
                                       }),
                        commands_.end());
    }

private:
    std::mutex commands_lock_;
    std::vector<pid_t> commands_;
};

}  // namespace

PppLink& pppd_link() {
    static PppdLink link;
    return link;
}

}  // namespace kv::platform
