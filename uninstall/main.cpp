// The uninstaller: removes what setup installed and, when asked, the data
// and the configuration. See uninstall/uninstall_options.h for the command line.
#include <cstdio>

#include "setup/install_places.h"
#include "uninstall/uninstall_options.h"
#include "uninstall/uninstall_steps.h"

int main(int argc, char** argv) {
    using namespace kv;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    uninstall::UninstallOptions options;
    setup::ImageRoot root;
    if (!uninstall::parse_uninstall_options(argc, argv, &options) ||
        (options.root_given && !setup::take_image_root(options.root.c_str(), &root))) {
        std::fprintf(stderr, "%s\n", uninstall::kUninstallUsage);
        return 2;
    }
    return uninstall::run_uninstall(options, root);
}
