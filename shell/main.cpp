// The server program. In the foreground (desktop mode) it prints the status
// dialog's lines; as a service of the service manager (--service, or
// NOTIFY_SOCKET set) it prints nothing and reports its states as
// notifications. Either way it holds the instance lock, starts the server,
// runs until a stop signal and stops it in order.
//
// Signals, taken by the main thread only (every thread inherits them
// blocked): SIGTERM and SIGINT stop; SIGHUP stops in desktop mode (the
// terminal went away) and reopens the logs in service mode (log rotation);
// SIGUSR1 starts a mail exchange.
//
// Exit statuses: 0 stopped, 1 another instance runs, 2 usage, 3 start
// failure, 75 restart in service mode (the unit starts the program again).
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/settings.h"
#include "conn/task_table.h"
#include "host/restart.h"
#include "host/server.h"
#include "log/logs.h"
#include "mail/mail_schedule.h"
#include "platform/bounded_text.h"
#include "platform/install_dir.h"
#include "platform/instance_lock.h"
#include "platform/service_notify.h"
#include "platform/socket.h"
#include "shell/command_line.h"
#include "shell/status_lines.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDesktopFailure =
    "There were some problems while Korvanet\n tried to start. For details see file error.log in\nlogs directory.";
constexpr const char* kDesktopNoErrorLog = "Can't open/create file error.log in logs directory.";
constexpr const char* kServiceFailure =
    "There were some problems while Korvanet\n tried to start. For details see file : \n\"%s/error.log\"\n";
constexpr const char* kServiceNoErrorLog = "Can't open/create file : \n\"%s/error.log\"\n";

constexpr auto kCountLook = std::chrono::seconds(1);
constexpr int kPredecessorPollMs = 50;
constexpr int kPredecessorWaitLimitMs = 60 * 1000;

sigset_t shell_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

void print_refusal(const kv::platform::LockHolder& holder) {
    const char* as = holder.service ? " as a service" : "";
    if (holder.pid > 0)
        std::printf("Korvanet is already running%s. pid %ld\n", as, holder.pid);
    else
        std::printf("Korvanet is already running%s.\n", as);
    if (holder.service) std::printf("\nUse systemctl to control Korvanet.\n");
}

// One server per registry file; false (after the refusal) when another holds it.
bool lock_instance(kv::platform::File& lock_file, bool service) {
    char path[4200];
    if (!kv::platform::instance_lock_path(kv::platform::registry_path(), path, sizeof path)) return true;
    kv::platform::LockHolder holder;
    if (kv::platform::take_instance_lock(path, service, lock_file, &holder) != kv::platform::LockState::kHeld)
        return true;  // taken, or no lock possible (a read-only place): run anyway
    print_refusal(holder);
    return false;
}

// The process is gone, or is only a zombie waiting for its parent to collect it.
bool process_ended(long pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0) return true;
    char path[64];
    (void)kv::platform::format_bounded(path, "/proc/%ld/stat", pid);
    FILE* f = std::fopen(path, "re");
    if (!f) return true;
    char line[512] = "";
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got) return true;
    // The state follows the command name, which is in parentheses and may hold blanks.
    const char* close = std::strrchr(line, ')');
    return close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X');
}

void wait_for_predecessor(long pid) {
    if (pid <= 0 || pid == static_cast<long>(getpid())) return;
    for (int waited = 0; waited < kPredecessorWaitLimitMs && !process_ended(pid); waited += kPredecessorPollMs)
        usleep(kPredecessorPollMs * 1000);
}

// A mail command sent while the server was starting is not acted on.
void drop_pending_mail_commands() {
    sigset_t mail;
    sigemptyset(&mail);
    sigaddset(&mail, SIGUSR1);
    const timespec now{0, 0};
    while (sigtimedwait(&mail, nullptr, &now) == SIGUSR1) {
    }
}

// "Process Mail": a send-and-receive run through the MAIL TRANSFER service.
// Not while a run goes on: it would only answer that it is busy. The
// trigger's connect to loopback is answered by the kernel at once, even while
// every task slot is busy (the connection then waits in the listen queue).
void start_mail_command() {
    if (kv::log::stopping() || kv::mail::transfer_in_progress()) return;
    kv::mail::trigger_transfer(kv::platform::Socket());
}

timespec until(Clock::time_point at) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(at - Clock::now());
    if (left.count() <= 0) return timespec{0, 0};
    return timespec{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
}

// Waits for the stop, acting on the other signals meanwhile, and calls
// on_count(n, context) when the count of active connections, looked at once
// a second, differs from the last one reported (0 at first).
void run_until_stop(const sigset_t& signals, bool service, void (*on_count)(int, void*), void* context) {
    int last = 0;
    Clock::time_point next_look = Clock::now() + kCountLook;
    for (;;) {
        const timespec left = until(next_look);
        const int sig = sigtimedwait(&signals, nullptr, &left);
        if (sig == SIGUSR1) {
            start_mail_command();
        } else if (sig == SIGHUP && service) {
            kv::log::reopen_logs();
        } else if (sig > 0) {
            return;
        }
        if (Clock::now() < next_look) continue;
        next_look = Clock::now() + kCountLook;
        if (kv::log::stopping()) continue;  // a restart is stopping the server
        const int n = kv::conn::active_connections();
        if (n == last) continue;
        last = n;
        on_count(n, context);
    }
}

void print_count(int n, void* context) {
    char text[32];
    kv::shell::connection_text(n, text);
    static_cast<kv::shell::StatusLines*>(context)->set_text(text);
}

int run_desktop(const sigset_t& signals, bool hide) {
    // HideOnStartup comes from the Status key, before anything is printed.
    (void)kv::config::open_statistics();
    kv::shell::StatusLines lines(stdout, !hide && kv::config::statistics().HideOnStartup == 0);
    kv::host::set_restart_shell(false, hide);
    lines.set_title("Korvanet : starting");
    lines.set_text("\nPlease wait ...");
    if (!kv::host::start_server(false)) {
        lines.show();
        lines.set_title("Korvanet can't start");
        lines.set_text(kv::log::error_log_opened() ? kDesktopFailure : kDesktopNoErrorLog);
        return 3;
    }
    drop_pending_mail_commands();
    lines.set_title(" Korvanet");
    print_count(0, &lines);
    run_until_stop(signals, false, print_count, &lines);
    lines.set_text("\nPlease wait ...");
    lines.set_title("Korvanet : going down");
    kv::host::stop_server();
    lines.set_text("\nKorvanet is stopped.");
    return 0;
}

void notify_count(int n, void*) {
    char text[48];
    (void)kv::platform::format_bounded(text, "STATUS=%d connection", n);
    kv::platform::notify(text);
}

int run_service(const sigset_t& signals) {
    (void)kv::platform::notify_init(std::getenv("NOTIFY_SOCKET"));
    kv::host::set_restart_shell(true, false);
    kv::platform::notify("STATUS=Korvanet : starting");
    if (!kv::host::start_server(true)) {
        kv::platform::notify("STATUS=Korvanet can't start");
        // The journal keeps what the service prints.
        std::printf(kv::log::error_log_opened() ? kServiceFailure : kServiceNoErrorLog, kv::config::live().LogsDir);
        return 3;
    }
    drop_pending_mail_commands();
    kv::platform::notify("READY=1\nSTATUS=0 connection");
    run_until_stop(signals, true, notify_count, nullptr);
    kv::platform::notify("STOPPING=1\nSTATUS=Korvanet : going down");
    if (!kv::host::restart_requested()) {
        kv::host::stop_server();
        return 0;
    }
    if (kv::config::live().HardRestart) {
        // Leave as the process is, without the orderly stop.
        std::fflush(stdout);
        std::_Exit(kv::host::kRestartExitStatus);
    }
    kv::host::stop_server();
    return kv::host::kRestartExitStatus;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader of our output that went away must not end the server at its
    // first line; the server itself ignores SIGPIPE for its sockets too.
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t signals = shell_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    kv::shell::CommandLine cl;
    if (!kv::shell::parse_command_line(argc, argv, &cl)) {
        std::fputs(kv::shell::kUsageText, stderr);
        return 2;
    }
    const char* notify_socket = std::getenv("NOTIFY_SOCKET");
    const bool service = cl.service || (notify_socket && *notify_socket);

    // A restart: the process being replaced must end before this one takes
    // the lock and the ports.
    if (cl.wait_pid) wait_for_predecessor(cl.wait_pid);
    if (cl.exit_after) return 0;

    kv::platform::File lock_file;
    if (!lock_instance(lock_file, service)) return 1;
    return service ? run_service(signals) : run_desktop(signals, cl.hide);
}
