// Dials and hangs up a stand-in pppd (a shell script written here) the given
// number of times through the server's pppd side, and prints this process's
// descriptors, resident memory and unreaped children after 10 and 100 cycles
// and after the last: none may grow with the number of cycles.
//
//   dial_cycle_bench [cycles]      (default 1000)
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/ppp_link.h"

namespace {

int open_descriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
        --n;  // the listing's own
    }
    return n;
}

long resident_kib() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

bool unreaped_child() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) > 0;
}

void report(const char* when, int cycle, double ms_per_cycle) {
    std::printf("%-6s cycle %5d: %d descriptors, %ld KiB resident, %s, %.2f ms per cycle\n", when, cycle,
                open_descriptors(), resident_kib(), unreaped_child() ? "an unreaped child" : "no zombie",
                ms_per_cycle);
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    char dir_template[] = "/tmp/kv-dial-cycles-XXXXXX";
    if (!::mkdtemp(dir_template)) return 1;
    const std::string dir = dir_template, run = dir + "/run", program = dir + "/pppd";
    ::mkdir(run.c_str(), 0755);
    std::ofstream(program) << "#!/bin/sh\n"
                              "echo $$ > \"$KORVANET_PPP_RUN/lo.pid\"\n"
                              "s=\n"
                              "trap 'kill $s 2>/dev/null; rm -f \"$KORVANET_PPP_RUN/lo.pid\"; exit 5' TERM\n"
                              "while :; do sleep 5 & s=$!; wait $s; done\n";
    ::chmod(program.c_str(), 0755);
    ::setenv("KORVANET_PPPD", program.c_str(), 1);
    ::setenv("KORVANET_PPP_RUN", run.c_str(), 1);

    kv::platform::PppLink& link = kv::platform::pppd_link();
    const auto started = std::chrono::steady_clock::now();
    int failures = 0;
    for (int i = 1; i <= cycles; ++i) {
        const pid_t pid = link.dial("work", "user", "secret");
        bool up = false;
        for (int wait = 0; pid > 0 && wait < 2500 && !up; ++wait) {
            up = link.line_address(pid) != 0;
            if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!up) ++failures;
        link.hang_up(pid);
        if (i == 10 || i == 100 || i == cycles) {
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
                                  .count();
            report(i == cycles ? "end" : "after", i, ms / i);
        }
    }
    std::printf("%d of %d dials did not come up\n", failures, cycles);
    std::string rm = "rm -rf " + dir;
    return std::system(rm.c_str()) == 0 && failures == 0 ? 0 : 1;
}
