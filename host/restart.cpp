// The restart routine: stop, start a successor process, leave.
#include "host/restart.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "config/settings.h"
#include "host/server.h"
#include "platform/bounded_text.h"
#include "platform/thread.h"

extern char** environ;

namespace kv::host {
namespace {

constexpr std::size_t kRestartStackSize = 64 * 1024;
constexpr int kFirstWaitMs = 1000;
constexpr int kPollMs = 100;
constexpr std::size_t kExePathSize = 4096;

std::atomic<bool> g_service{false};
std::atomic<bool> g_hide{false};
std::atomic<bool> g_requested{false};

void sleep_ms(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

// Starts the successor: the same program file with this process's number as
// its argument, and "/hide" when this process was started with it (a hidden
// server stays hidden across restarts). It gets the environment and standard
// handles of this process and an empty signal mask (this process blocks the
// stop signals in every thread, and a blocked mask would survive the exec).
void spawn_successor() {
    char exe[kExePathSize];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return;
    exe[n] = '\0';
    char pid_text[24];
    platform::format_bounded(pid_text, "%d", static_cast<int>(::getpid()));
    char hide[] = "/hide";
    char* argv[] = {exe, pid_text, g_hide.load() ? hide : nullptr, nullptr};

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    (void)posix_spawnattr_setsigmask(&attr, &none);
    (void)posix_spawnattr_setsigdefault(&attr, &defaults);
    (void)posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    // A failure to start the successor is not fatal to the leaving: this
    // process ends all the same, as asked.
    (void)posix_spawn(&child, exe, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
}

void* restart_thread(void* arg) {
    const std::atomic<int>* pending = static_cast<const std::atomic<int>*>(arg);
    sleep_ms(kFirstWaitMs);
    // The browser clears the flag by fetching the page it was sent to; one
    // that never comes back does not hold the restart for ever.
    for (int waited = 0; pending && pending->load() && waited < kRestartWaitLimitMs; waited += kPollMs)
        sleep_ms(kPollMs);
    if (g_service.load()) {
        // The shell stops in order and leaves with the status the unit
        // restarts on; the service manager starts the successor.
        g_requested.store(true);
        ::kill(::getpid(), SIGTERM);
        return nullptr;
    }
    if (!config::live().HardRestart) stop_server();
    std::fflush(stdout);
    spawn_successor();
    g_requested.store(true);
    // Leave as the desktop exit does: the main thread takes SIGTERM, stops
    // the server (nothing left to do when stopped already) and returns.
    ::kill(::getpid(), SIGTERM);
    return nullptr;
}

}  // namespace

void set_restart_shell(bool service, bool hide) {
    g_service.store(service);
    g_hide.store(hide);
}

bool restart_requested() { return g_requested.load(); }

int start_restart(const std::atomic<int>* pending) {
    // One restart per process: a second request must not start a second successor.
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return 1;
    platform::Thread thread;
    if (!thread.start(restart_thread, const_cast<std::atomic<int>*>(pending), kRestartStackSize)) return 0;
    thread.detach();
    return 1;
}

}  // namespace kv::host
