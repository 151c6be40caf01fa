// The server program in the foreground: starts the server, runs until SIGTERM
// or Ctrl-C, then stops it in order and saves the statistics.
//
// Command line: empty for a normal start; "/hide" (any case) is accepted and
// changes nothing here; a decimal process number is a restart: that process
// (the one being replaced) must end before this one takes the lock and ports.
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "host/server.h"
#include "log/logs.h"
#include "platform/install_dir.h"
#include "platform/instance_lock.h"
#include "platform/socket.h"

namespace {

// One server per registry file; false (after the message) when another holds it.
bool lock_instance(kv::platform::File& lock_file) {
    char path[4200];
    if (!kv::platform::instance_lock_path(kv::platform::registry_path(), path, sizeof path)) return true;
    kv::platform::LockHolder holder;
    if (kv::platform::take_instance_lock(path, false, lock_file, &holder) != kv::platform::LockState::kHeld)
        return true;  // taken, or no lock possible (a read-only place): run anyway
    if (holder.pid > 0)
        std::printf("Korvanet is already running. pid %ld\n", holder.pid);
    else
        std::printf("Korvanet is already running.\n");
    return false;
}

constexpr int kPredecessorPollMs = 50;
constexpr int kPredecessorWaitLimitMs = 60 * 1000;

// The process is gone, or is only a zombie waiting for its parent to collect it.
bool process_ended(long pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0) return true;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) return true;
    char line[512] = "";
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got) return true;
    // The state follows the command name, which is in parentheses and may hold blanks.
    const char* close = std::strrchr(line, ')');
    return close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X');
}

// A decimal process number (1 or more digits, nothing else), or 0.
long process_number(const char* text) {
    if (!text || !*text) return 0;
    long n = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
        if (n > 0x3fffffff) return 0;
    }
    return n;
}

void wait_for_predecessor(long pid) {
    if (pid <= 0 || pid == static_cast<long>(getpid())) return;
    for (int waited = 0; waited < kPredecessorWaitLimitMs && !process_ended(pid); waited += kPredecessorPollMs)
        usleep(kPredecessorPollMs * 1000);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every thread inherits the blocked set; only the main thread takes the signals.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    // "/hide" asks for no window: there is none here. A process number is a restart.
    if (argc > 1 && strcasecmp(argv[1], "/hide") != 0) wait_for_predecessor(process_number(argv[1]));

    kv::platform::File lock_file;
    if (!lock_instance(lock_file)) return 1;

    std::printf("Korvanet : starting\n");
    if (!kv::host::start_server(false)) {
        std::printf("Korvanet can't start\n");
        if (kv::log::error_log_opened())
            std::printf("There were some problems while Korvanet\n tried to start. For details see file error.log in\nlogs directory.\n");
        else
            std::printf("Can't open/create file error.log in logs directory.\n");
        return 3;
    }
    std::printf(" Korvanet\n");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stop_signals, &sig);
    std::printf("Korvanet : going down\n");
    kv::host::stop_server();
    std::printf("Korvanet is stopped.\n");
    return 0;
}
