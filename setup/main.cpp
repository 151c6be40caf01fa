// The installer: copies the server beside its unit, menu entries and
// registry records. See setup/setup_options.h for the command line.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "setup/install_places.h"
#include "setup/install_steps.h"
#include "setup/setup_options.h"

namespace {

// The directory this program was started from: the six files lie beside it.
std::string program_dir() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string(slash == 0 ? "/" : ".") : exe.substr(0, slash);
}

void on_stop_signal(int) { kv::setup::request_abort(); }

}  // namespace

int main(int argc, char** argv) {
    using namespace kv::setup;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SetupOptions options;
    const SetupArgs parsed = parse_setup_options(argc, argv, &options);
    ImageRoot root;
    if (parsed == SetupArgs::kUsage || (options.root_given && !take_image_root(options.root.c_str(), &root))) {
        std::fprintf(stderr, "%s\n", kSetupUsage);
        return 2;
    }
    if (parsed == SetupArgs::kBadDirectory) {
        print_error(kEnterDirectory);
        return 2;
    }
    const std::string source = options.source.empty() ? program_dir() : options.source;

    // No SA_RESTART: a signal also cuts the wait for a stopping server short.
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return run_installation(options, root, source);
}
