#pragma once
// The installer's command line:
//   setup [--root DIR] [--dir DIR] [--service | --application]
//         [--keep-config | --new-config] [--no-menu] [--source DIR]
#include <cstddef>
#include <string>

namespace kv::setup {

inline constexpr const char* kSetupUsage =
    "usage: setup [--root DIR] [--dir DIR] [--service | --application] [--keep-config | --new-config] "
    "[--no-menu] [--source DIR]";
inline constexpr const char* kEnterDirectory = "Please, enter destination directory.";
inline constexpr const char* kDefaultInstallDir = "/opt/korvanet/";
// Longest installation directory accepted, in characters, after trimming.
inline constexpr std::size_t kMaxInstallDir = 259;

struct SetupOptions {
    std::string root;  // as given; "" without --root
    bool root_given = false;
    std::string dir = kDefaultInstallDir;  // ends in exactly one '/'
    bool service = true;
    bool keep_config = true;
    bool menu = true;
    std::string source;  // "" = the directory of the setup program
};

enum class SetupArgs { kOk, kUsage, kBadDirectory };

// kUsage for an unknown, repeated or conflicting option or a missing value;
// kBadDirectory when the trimmed --dir is empty, not absolute, longer than
// kMaxInstallDir or holds a control character.
SetupArgs parse_setup_options(int argc, const char* const* argv, SetupOptions* out);

// The directory trimmed of blanks and given one trailing '/'; false when it
// is unusable as above.
bool normalise_install_dir(const std::string& text, std::string* dir);

}  // namespace kv::setup
