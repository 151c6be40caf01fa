#include "setup/install_places.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/file_io.h"
#include "platform/instance_lock.h"

extern char** environ;

namespace kv::setup {
namespace {

constexpr const char* kSystemDirs[] = {"/bin",  "/boot", "/dev",  "/etc",  "/home", "/lib",       "/lib32", "/lib64",
                                       "/media", "/mnt", "/opt", "/proc", "/root", "/run",       "/sbin",  "/srv",
                                       "/sys",  "/tmp",  "/usr", "/usr/local", "/var", "/var/log"};

constexpr const char* kMenuPrefix = "korvanet";
constexpr const char* kMenuSuffix = ".desktop";

std::vector<std::string> path_components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') ++i;
        std::size_t end = path.find('/', i);
        if (end == std::string::npos) end = path.size();
        if (end > i) parts.push_back(path.substr(i, end - i));
        i = end;
    }
    return parts;
}

std::string printable(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '\r' && p[1] == '\n') continue;  // the "\n" that follows stays
        out.push_back(*p);
    }
    out.push_back('\n');
    return out;
}

bool ends_with(const char* text, const char* suffix) {
    const std::size_t n = std::strlen(text), m = std::strlen(suffix);
    return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

}  // namespace

bool take_image_root(const char* text, ImageRoot* root) {
    struct stat st;
    if (!text || !*text || ::stat(text, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    std::string dir = text;
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    root->dir = dir;
    root->given = true;
    return true;
}

std::string on_disk(const ImageRoot& root, const std::string& path) { return root.dir + path; }

std::string without_trailing_slash(const std::string& path) {
    std::string out = path;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string registry_file_for(const ImageRoot& root) {
    const char* env = std::getenv("KORVANET_REGISTRY");
    if (env && *env) return env;
    return on_disk(root, kDefaultRegistry);
}

bool registry_inside_root(const ImageRoot& root) {
    const char* env = std::getenv("KORVANET_REGISTRY");
    if (!root.given || (env && *env)) return true;
    std::string dir, name;
    if (!split_last(kDefaultRegistry, &dir, &name)) return false;
    platform::File d = open_tree_dir(root, dir, false);
    if (!d) return errno == ENOENT;  // nothing there yet: made below the root when written
    struct stat st;
    if (::fstatat(d.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    return !S_ISLNK(st.st_mode);
}

std::string read_tree_file(const ImageRoot& root, const std::string& path, std::size_t max) {
    std::string data, dir, name;
    if (!split_last(path, &dir, &name)) return data;
    platform::File d = open_tree_dir(root, dir, false);
    platform::File f = d ? platform::open_file_at(d.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)
                         : platform::File();
    if (!f) return data;
    char buf[4096];
    for (ssize_t n; data.size() < max && (n = ::read(f.get(), buf, sizeof buf)) > 0;)
        data.append(buf, static_cast<std::size_t>(n));
    return data;
}

platform::File open_tree_dir(const ImageRoot& root, const std::string& path, bool create, unsigned mode) {
    const std::string base = root.dir.empty() ? "/" : root.dir;
    platform::File dir = platform::open_file(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!dir) return dir;
    const int no_follow = root.given ? O_NOFOLLOW : 0;
    const std::vector<std::string> parts = path_components(path);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const char* name = parts[i].c_str();
        // ".." would climb out of the root; "." says nothing a path needs.
        if (parts[i] == "." || parts[i] == "..") {
            errno = EINVAL;
            return platform::File();
        }
        const bool last = i + 1 == parts.size();
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | no_follow;
        platform::File next = platform::open_file_at(dir.get(), name, flags);
        if (!next && errno == ENOENT && create) {
            const unsigned level_mode = last ? mode : 0755;
            const bool made = ::mkdirat(dir.get(), name, level_mode) == 0;
            if (!made && errno != EEXIST) return platform::File();
            next = platform::open_file_at(dir.get(), name, flags);
            // The mode exactly as asked, whatever the umask took away; a level
            // someone else made meanwhile keeps its own.
            if (made && next && ::fchmod(next.get(), level_mode) != 0) return platform::File();
        }
        if (!next) return platform::File();
        dir = std::move(next);
    }
    return dir;
}

bool is_protected_dir(const std::string& path) {
    if (path.empty() || path[0] != '/') return true;
    std::string plain;  // "/" + the levels joined by single '/'
    for (const std::string& level : path_components(path)) {
        if (level == "." || level == "..") return true;
        plain += '/';
        plain += level;
    }
    if (plain.size() <= 3 || path.size() <= 3) return true;
    for (const char* dir : kSystemDirs)
        if (plain == dir) return true;
    return false;
}

bool split_last(const std::string& path, std::string* dir, std::string* name) {
    const std::string p = without_trailing_slash(path);
    if (p.empty() || p[0] != '/' || p == "/") return false;
    const std::size_t slash = p.rfind('/');
    *dir = slash == 0 ? "/" : p.substr(0, slash);
    *name = p.substr(slash + 1);
    return true;
}

int remove_entry(int dir_fd, const char* name) {
    if (::unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT) return 1;
    return 0;
}

void print_message(const char* text) {
    std::fputs(printable(text).c_str(), stdout);
    std::fflush(stdout);
}

void print_error(const char* text) {
    std::fflush(stdout);
    std::fputs(printable(text).c_str(), stderr);
}

void StatusLine::show(const char* text) {
    if (last_ == text) return;
    last_ = text;
    print_message(text);
}

Holder running_server(const std::string& registry, long* pid) {
    char lock[4200];
    *pid = 0;
    if (!platform::instance_lock_path(registry.c_str(), lock, sizeof lock)) return Holder::kNone;
    platform::LockHolder holder;
    if (platform::probe_instance_lock(lock, &holder) != platform::LockState::kHeld) return Holder::kNone;
    struct stat st;
    if (holder.pid > 0 && ::stat(lock, &st) == 0 &&
        lock_table_shows(read_tree_file(ImageRoot{}, "/proc/locks", 1 << 22), holder.pid, st.st_ino))
        *pid = holder.pid;
    return holder.service ? Holder::kService : Holder::kDesktop;
}

bool lock_table_shows(const std::string& table, long pid, unsigned long long inode) {
    std::size_t start = 0;
    while (start < table.size()) {
        std::size_t end = table.find('\n', start);
        if (end == std::string::npos) end = table.size();
        const std::string line = table.substr(start, end - start);
        start = end + 1;
        // "1: FLOCK  ADVISORY  WRITE 29210 fe:00:11010639 0 EOF"; waiters carry "->".
        char kind[16], mode[16], access[16];
        long owner = 0;
        unsigned major = 0, minor = 0;
        unsigned long long ino = 0;
        if (line.find("->") != std::string::npos) continue;
        if (std::sscanf(line.c_str(), "%*d: %15s %15s %15s %ld %x:%x:%llu", kind, mode, access, &owner, &major, &minor,
                        &ino) != 7)
            continue;
        if (std::strcmp(kind, "FLOCK") == 0 && owner == pid && ino == inode) return true;
    }
    return false;
}

void ask_to_stop(long pid) {
    // A pid read from a file is only trusted as a plain process number:
    // 0, 1 and negative numbers would signal groups, init or everything.
    if (pid > 1 && pid != static_cast<long>(getpid())) (void)::kill(static_cast<pid_t>(pid), SIGTERM);
}

int remove_unit(const ImageRoot& root) {
    const char* dirs[] = {kWantsDir, kUnitDir};  // the link first: it must never point at nothing
    for (const char* dir : dirs) {
        platform::File d = open_tree_dir(root, dir, false);
        if (!d) {
            if (errno == ENOENT) continue;
            return 0;
        }
        if (!remove_entry(d.get(), kUnitName)) return 0;
    }
    return 1;
}

bool unit_present(const ImageRoot& root) {
    platform::File d = open_tree_dir(root, kUnitDir, false);
    struct stat st;
    return d && ::fstatat(d.get(), kUnitName, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void remove_menu_entries(const ImageRoot& root) {
    platform::File d = open_tree_dir(root, kMenuDir, false);
    if (!d) return;
    platform::File listing = platform::open_file_at(d.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!dir) return;
    listing.release();  // the DIR owns it now
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, kMenuPrefix, std::strlen(kMenuPrefix)) == 0 && ends_with(e->d_name, kMenuSuffix))
            names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    for (const auto& name : names) (void)::unlinkat(d.get(), name.c_str(), 0);
}

void reload_service_manager() {
    char prog[] = "systemctl";
    char verb[] = "daemon-reload";
    char* argv[] = {prog, verb, nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, prog, nullptr, nullptr, argv, environ) != 0) return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace kv::setup
