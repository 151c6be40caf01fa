#pragma once
// The program's command line, arguments in any order:
//   /hide       (any letter case) print nothing but a start failure
//   --service   run as a service of the service manager
//   PID         wait until that process has ended, then start
//   PID s       wait for it, then leave without starting ("PID s" may also
//               be one argument, the form a predecessor of old passed)
// Each at most once; anything else is a usage error.
namespace kv::shell {

inline constexpr const char* kUsageText = "usage: korvanet [/hide] [--service] [PID [s]]\n";

// Process numbers above this are no process of this system.
inline constexpr long kLargestPid = 0x3fffffffL;

struct CommandLine {
    bool hide = false;
    bool service = false;
    long wait_pid = 0;       // 0: no process to wait for
    bool exit_after = false; // PID s: wait, then leave with 0
};

// 1 with *out filled when argv[1..argc-1] is a command line as above; 0
// when it is not (the caller answers with kUsageText).
[[nodiscard]] int parse_command_line(int argc, const char* const* argv, CommandLine* out);

}  // namespace kv::shell
