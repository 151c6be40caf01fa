#pragma once
// Removing a data directory with everything in it, the most dangerous thing
// the uninstaller does, so it is bounded on every side: a symbolic link is
// removed itself and never followed, the walk never crosses into another
// mounted file system, never climbs above its directory, stops at a fixed
// depth, and never starts at "/", a short or relative path or one of the
// system's own directories. Files named "setup" or "kvuninst" are kept at
// every depth, and the directories that hold them stay.
#include <string>

#include "setup/install_places.h"

namespace kv::uninstall {

enum class Removal {
    kRemoved,    // gone (or only what must be kept is left)
    kMissing,    // was not there
    kProtected,  // never touched: a path the rules above refuse
    kFailed,     // the first failure stopped the walk; *error holds its errno
};

// Removes path (as the registry names it) below root.
Removal remove_data_tree(const setup::ImageRoot& root, const std::string& path, int* error);

// Deepest level the walk enters below the directory it removes.
inline constexpr int kMaxTreeDepth = 256;

}  // namespace kv::uninstall
