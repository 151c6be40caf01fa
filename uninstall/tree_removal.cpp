#include "uninstall/tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_io.h"
#include "platform/socket.h"

namespace kv::uninstall {
namespace {

bool kept_name(const char* name) { return std::strcmp(name, "setup") == 0 || std::strcmp(name, "kvuninst") == 0; }

// Empties the open directory dir. Returns 0 or the errno of the first
// failure; *kept is set when something had to stay (and so the directory).
int empty_directory(int dir, dev_t device, int depth, bool* kept) {
    if (depth > kMaxTreeDepth) return ELOOP;
    platform::File listing = platform::open_file_at(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!d) return errno;
    listing.release();  // the DIR owns it now
    int failure = 0;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        struct stat st;
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // gone meanwhile
            failure = errno;
            break;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (kept_name(name)) {
                *kept = true;
            } else if (::unlinkat(dir, name, 0) != 0 && errno != ENOENT) {
                failure = errno;
                break;
            }
            continue;
        }
        // A mount point inside the tree belongs to another file system: it stays as it is.
        if (st.st_dev != device) {
            *kept = true;
            continue;
        }
        platform::File sub = platform::open_file_at(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (!sub) {
            failure = errno;
            break;
        }
        bool sub_kept = false;
        failure = empty_directory(sub.get(), device, depth + 1, &sub_kept);
        if (failure) break;
        if (sub_kept) {
            *kept = true;
        } else if (::unlinkat(dir, name, AT_REMOVEDIR) != 0) {
            failure = errno;
            break;
        }
        errno = 0;
    }
    if (!failure && errno != 0) failure = errno;  // readdir's own failure
    ::closedir(d);
    return failure;
}

Removal failed(int* error, int code) {
    *error = code;
    return Removal::kFailed;
}

}  // namespace

Removal remove_data_tree(const setup::ImageRoot& root, const std::string& path, int* error) {
    *error = 0;
    std::string parent, name;
    if (setup::is_protected_dir(path) || !setup::split_last(path, &parent, &name)) return Removal::kProtected;
    platform::File parent_dir = setup::open_tree_dir(root, parent, false);
    if (!parent_dir) return errno == ENOENT ? Removal::kMissing : failed(error, errno);
    struct stat st;
    if (::fstatat(parent_dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Removal::kMissing : failed(error, errno);
    if (S_ISLNK(st.st_mode)) {
        // The link goes; whatever it points at is not ours to remove.
        if (::unlinkat(parent_dir.get(), name.c_str(), 0) != 0) return failed(error, errno);
        return Removal::kRemoved;
    }
    if (!S_ISDIR(st.st_mode)) return failed(error, ENOTDIR);
    platform::File top =
        platform::open_file_at(parent_dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!top) return failed(error, errno);
    bool kept = false;
    if (const int failure = empty_directory(top.get(), st.st_dev, 1, &kept)) return failed(error, failure);
    if (!kept && ::unlinkat(parent_dir.get(), name.c_str(), AT_REMOVEDIR) != 0) return failed(error, errno);
    return Removal::kRemoved;
}

}  // namespace kv::uninstall
