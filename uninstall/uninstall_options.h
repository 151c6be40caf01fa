#pragma once
// The uninstaller's command line:
//   kvuninst [--root DIR] [--remove-logs] [--remove-mail] [--remove-cache]
//            [--remove-config] [--all]
// Data and configuration stay unless an option names them.
#include <string>

namespace kv::uninstall {

inline constexpr const char* kUninstallUsage =
    "usage: kvuninst [--root DIR] [--remove-logs] [--remove-mail] [--remove-cache] [--remove-config] [--all]";

struct UninstallOptions {
    std::string root;  // as given; "" without --root
    bool root_given = false;
    bool logs = false, mail = false, cache = false, config = false;
};

// false for an unknown or repeated option or a missing value.
bool parse_uninstall_options(int argc, const char* const* argv, UninstallOptions* out);

}  // namespace kv::uninstall
