#include "shell/command_line.h"

#include <strings.h>

#include <cstring>

namespace kv::shell {
namespace {

// Reads the decimal process number at the start of text (1 to kLargestPid);
// *rest is what follows it. 0 when there is none or it is out of range.
long leading_pid(const char* text, const char** rest) {
    long n = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + (*p - '0');
        if (n > kLargestPid) return 0;
    }
    *rest = p;
    return p == text ? 0 : n;
}

// One argument that starts with a process number: "1234", "1234 s", or the
// blank-terminated "1234 " / "1234  " of a predecessor that ran without "s".
int take_pid(const char* arg, CommandLine* cl) {
    const char* rest = nullptr;
    const long pid = leading_pid(arg, &rest);
    if (pid == 0 || cl->wait_pid != 0) return 0;
    if (std::strcmp(rest, " s") == 0)
        cl->exit_after = true;
    else if (*rest && std::strcmp(rest, " ") != 0 && std::strcmp(rest, "  ") != 0)
        return 0;
    cl->wait_pid = pid;
    return 1;
}

}  // namespace

int parse_command_line(int argc, const char* const* argv, CommandLine* out) {
    CommandLine cl;
    bool last_was_pid = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        const bool after_pid = last_was_pid;
        last_was_pid = false;
        if (strcasecmp(arg, "/hide") == 0) {
            if (cl.hide) return 0;
            cl.hide = true;
        } else if (std::strcmp(arg, "--service") == 0) {
            if (cl.service) return 0;
            cl.service = true;
        } else if (std::strcmp(arg, "s") == 0) {
            // Only right after a bare process number.
            if (!after_pid || cl.exit_after) return 0;
            cl.exit_after = true;
        } else if (arg[0] >= '0' && arg[0] <= '9') {
            if (!take_pid(arg, &cl)) return 0;
            last_was_pid = !cl.exit_after;
        } else {
            return 0;
        }
    }
    *out = cl;
    return 1;
}

}  // namespace kv::shell
