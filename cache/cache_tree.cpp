#include "cache/cache_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/file_io.h"
#include "platform/socket.h"

namespace kv::cache {
namespace {

bool entry_is(int dir_fd, const dirent* e, bool directory) {
    if (e->d_type != DT_UNKNOWN) return directory ? e->d_type == DT_DIR : e->d_type == DT_REG;
    struct stat st {};
    if (::fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// The object's format byte says a writer was still storing it.
bool left_by_writer(int host_fd, const char* name) {
    const platform::File object = platform::open_file_at(host_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    unsigned char format = kFormatComplete;
    return object.valid() && ::pread(object.get(), &format, 1, 0) == 1 && format == kFormatWriting;
}

}  // namespace

int list_entries(const char* dir, const char* suffix, bool directories, std::vector<std::string>& out) {
    DirHandle d(::opendir(dir));
    if (!d.d) return 0;
    while (const dirent* e = ::readdir(d.d)) {
        if (e->d_name[0] == '.' || !ends_with(e->d_name, suffix)) continue;
        if (!entry_is(::dirfd(d.d), e, directories)) continue;
        out.emplace_back(e->d_name);
    }
    std::sort(out.begin(), out.end());
    return 1;
}

DirHandle open_directory_at(int dir_fd, const char* name, bool no_follow) {
    platform::File dir = platform::open_file_at(dir_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC |
                                                                (no_follow ? O_NOFOLLOW : 0));
    if (!dir.valid()) return DirHandle(nullptr);
    DirHandle stream(::fdopendir(dir.get()));
    // The stream owns the descriptor from here on.
    if (stream.d) (void)dir.release();
    return stream;
}

Totals scan_totals(const char* dir, const std::atomic<bool>& stopping) {
    Totals t{};
    DirHandle top(::opendir(dir));
    if (!top.d) return t;
    while (const dirent* h = ::readdir(top.d)) {
        if (stopping.load()) break;
        if (h->d_name[0] == '.' || !ends_with(h->d_name, ".dns") || !entry_is(::dirfd(top.d), h, true)) continue;
        DirHandle host = open_directory_at(::dirfd(top.d), h->d_name, false);
        if (!host.d) continue;
        const int host_fd = ::dirfd(host.d);
        while (const dirent* f = ::readdir(host.d)) {
            if (f->d_name[0] == '.' || !ends_with(f->d_name, ".cch")) continue;
            struct stat st {};
            if (::fstatat(host_fd, f->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
            // Nothing writes while the totals are counted: such a file is a
            // killed writer's, never to be served, and goes.
            if (left_by_writer(host_fd, f->d_name)) {
                (void)::unlinkat(host_fd, f->d_name, 0);
                continue;
            }
            totals_change(t, st.st_size, kind_of_name(f->d_name), 1);
        }
    }
    return t;
}

}  // namespace kv::cache
