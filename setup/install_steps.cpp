#include "setup/install_steps.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/file_io.h"
#include "platform/registry.h"
#include "setup/file_copy.h"
#include "setup/install_texts.h"

extern char** environ;

namespace kv::setup {
namespace {

volatile std::sig_atomic_t g_abort = 0;

// A stopping server is looked at this often before setup gives up (10 s).
constexpr int kStopLooks = 50;
constexpr long kStopLookMs = 200;
constexpr std::size_t kMessageSize = 4400;  // a message with one path of up to 4096 bytes

constexpr const char* kServiceUser = "korvanet";
constexpr const char* kDisplayName = "Korvanet 1.5";
constexpr const char* kUninstallCommand = "kvuninst";

struct InstalledFile {
    const char* name;
    unsigned mode;
    bool keep_existing;  // a customised file survives a new installation
    bool in_uninstaller_dir;
};
constexpr InstalledFile kFiles[] = {
    {"kvuninst", 0755, false, true},    {"korvanet", 0755, false, false}, {"config.htm", 0644, false, false},
    {"proxy.pac", 0644, true, false},   {"ReadMe.txt", 0644, false, false}, {"Admin.url", 0644, false, false},
};

struct DataPlace {
    const char* name;
    const char* default_dir;
    unsigned mode;
};
constexpr DataPlace kDataPlaces[] = {
    {"LogsDir", "/var/log/korvanet/", 0750},
    {"CacheDir", "/var/cache/korvanet/", 0750},
    {"MailDir", "/var/spool/korvanet/", 0700},  // mailboxes are private to the service
};

int stop_looks() {
#ifdef KV_TEST_BUILD
    // The tests shorten the wait where they only need its outcome.
    if (const char* env = std::getenv("KORVANET_TEST_STOP_LOOKS")) return std::atoi(env);
#endif
    return kStopLooks;
}

void sleep_ms(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR && !g_abort) {
    }
}

void error_with_path(const char* format, const std::string& path, int code = 0) {
    char text[kMessageSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text, sizeof text, format, path.c_str(), code);
#pragma GCC diagnostic pop
    print_error(text);
}

void error_with_code(const char* format, int code) {
    char text[kMessageSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(code));
#pragma GCC diagnostic pop
    print_error(text);
}

bool run_program(const char* const* argv) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Hands a directory or file to the service user, never through a link.
void give_to(const std::string& path, uid_t uid, gid_t gid, bool directory) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (directory ? O_DIRECTORY : 0);
    platform::File f = platform::open_file(path.c_str(), flags);
    if (f) (void)::fchown(f.get(), uid, gid);
}

class Installer {
public:
    Installer(const SetupOptions& options, const ImageRoot& root, const std::string& source)
        : opt_(options), root_(root), source_(source), registry_(registry_file_for(root)) {}

    int run() {
        using Step = bool (Installer::*)();
        static constexpr Step kSteps[] = {&Installer::prepare,       &Installer::stop_running,
                                          &Installer::check_previous, &Installer::move_old_cache,
                                          &Installer::create_directory, &Installer::copy_files,
                                          &Installer::set_up_service, &Installer::make_menu_entries,
                                          &Installer::record_installation};
        for (Step step : kSteps) {
            const bool ok = (this->*step)();
            if (g_abort) {
                print_error("Installation was aborted!");
                return 1;
            }
            if (!ok) {
                print_error("Installation failed!");
                return 1;
            }
        }
        print_message("Installation was successful.");
        print_message(
            "Now you can run Korvanet and set proxy in your WWW browsers to the IP address or DNS name of this "
            "computer and port number to 3128.");
        print_message("To configure Korvanet point your WWW browser to the port 3129 of this computer.");
        return 0;
    }

private:
    // A registry file that does not parse is never written: fail before anything changes.
    bool prepare() {
        status_.show("Preparing Setup...");
        return registry_inside_root(root_) && platform::registry_open(registry_.c_str()) == 1;
    }

    bool stop_running() {
        long pid = 0;
        const Holder holder = running_server(registry_, &pid);
        if (holder == Holder::kDesktop) {
            status_.show("Stopping Korvanet Application ...");
            ask_to_stop(pid);
            status_.show("Stopping Korvanet ...(please, wait)");
            if (!wait_for_stop()) {
                if (!g_abort) print_error("Failed to stop Korvanet application.\r\nSetup program can't continue.");
                return false;
            }
        } else if (holder == Holder::kService) {
            status_.show("Stoping Korvanet Service ...");
            ask_to_stop(pid);
            if (!wait_for_stop()) {
                // 0x041d: the service did not answer the stop in time.
                if (!g_abort)
                    print_error(
                        "Failed to stop service. Error code : 0x041d\r\nSetup can't continue while service is running.");
                return false;
            }
        }
        if (!opt_.service && unit_present(root_)) {
            status_.show("Deleting Korvanet Service ...");
            if (!remove_unit(root_)) {
                error_with_code(
                    "Failed to delete service. Error code : %#06x\r\n\r\nSetup can't continue without removing service.",
                    errno);
                return false;
            }
            if (!root_.given) reload_service_manager();
        }
        return true;
    }

    bool wait_for_stop() {
        long pid = 0;
        for (int look = 0, looks = stop_looks(); look < looks && !g_abort; ++look) {
            sleep_ms(kStopLookMs);
            if (running_server(registry_, &pid) == Holder::kNone) return true;
        }
        return running_server(registry_, &pid) == Holder::kNone;
    }

    // The stopped server saved its settings on the way out: read them afresh.
    bool check_previous() {
        status_.show("Checking for previous installation...");
        if (platform::registry_open(registry_.c_str()) != 1) return false;
        if (!platform::registry_get_dword(kStatusKey, "iv", &cache_layout_)) cache_layout_ = 0;
        if (!opt_.keep_config && platform::registry_key_exists(kProductKey)) {
            platform::registry_delete_key(kProductKey);
            if (platform::registry_flush() != 1) return false;
        }
        return true;
    }

    // A cache of an older layout is kept aside instead of being read as ours.
    bool move_old_cache() {
        platform::File cache = open_tree_dir(root_, opt_.dir + "Cache", false);
        struct stat st;
        if (!cache || ::fstatat(cache.get(), "Status.log", &st, AT_SYMLINK_NOFOLLOW) != 0 || cache_layout_ >= 10)
            return true;
        status_.show("Backup old cache directory...");
        platform::File dir = open_tree_dir(root_, opt_.dir, false);
        if (dir) (void)::renameat(dir.get(), "Cache", dir.get(), "cache.old");
        return true;
    }

    bool create_directory() {
        status_.show("Creating destination directory...");
        const char* format = "Setup failed to create destination directory %s. Click OK to exit Setup.";
        const std::string shown = without_trailing_slash(on_disk(root_, opt_.dir));
        // A root such as "/" or "/ab" is never an installation directory.
        if (without_trailing_slash(opt_.dir).size() <= 3) {
            error_with_path(format, shown);
            return false;
        }
        install_dir_ = open_tree_dir(root_, opt_.dir, true, 0755);
        if (!install_dir_) {
            error_with_path(format, shown);
            return false;
        }
        return true;
    }

    bool copy_files() {
        status_.show("Copying files...");
        for (const InstalledFile& file : kFiles) {
            if (g_abort) return false;
            const std::string dir = file.in_uninstaller_dir ? std::string(kUninstallerDir) : without_trailing_slash(opt_.dir);
            const std::string target = without_trailing_slash(on_disk(root_, dir)) + "/" + file.name;
            platform::File other;
            int dir_fd = install_dir_.get();
            if (file.in_uninstaller_dir) {
                other = open_tree_dir(root_, kUninstallerDir, true);
                dir_fd = other.get();
            }
            struct stat st;
            if (dir_fd >= 0 && file.keep_existing && ::fstatat(dir_fd, file.name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                continue;
            const std::string source = source_ + "/" + file.name;
            if (dir_fd < 0 || !copy_file_atomic(source.c_str(), dir_fd, file.name, file.mode)) {
                error_with_path("Failed to copy file %s (code %d). Click OK to exit Setup.", target, errno);
                return false;
            }
        }
        return true;
    }

    bool set_up_service() {
        if (!opt_.service) return true;
        const bool present = unit_present(root_);
        status_.show(present ? "Configuring Korvanet service..." : "Creating new Korvanet service...");
        const std::string groups = read_tree_file(root_, "/etc/group");
        const std::string unit = render_unit(kUnitTemplate, opt_.dir, group_listed(groups, "dip"));
        platform::File units = open_tree_dir(root_, kUnitDir, true);
        if (!units || !write_file_atomic(units.get(), kUnitName, unit, 0644)) {
            error_with_code(present ? "Failed to configure service.\r\nError code : %#06x"
                                    : "Failed to create service.\r\nError code : %#06x",
                            errno);
            return false;
        }
        if (!present) {
            // What enabling the unit makes: the service starts with the system, not now.
            platform::File wants = open_tree_dir(root_, kWantsDir, true);
            if (!wants || !remove_entry(wants.get(), kUnitName) || ::symlinkat(kUnitPath, wants.get(), kUnitName) != 0) {
                error_with_code("Failed to create service.\r\nError code : %#06x", errno);
                return false;
            }
        }
        if (!root_.given) reload_service_manager();
        status_.show("Setup");
        return true;
    }

    bool make_menu_entries() {
        if (opt_.menu) {
            status_.show("Creating program group...");
            remove_menu_entries(root_);
            platform::File menu = open_tree_dir(root_, kMenuDir, true);
            bool ok = menu.valid();
            for (const MenuEntry& entry : menu_entries(opt_.dir))
                ok = ok && write_file_atomic(menu.get(), entry.file, entry.text, 0644);
            if (!ok) {
                print_error("Failed to create program group.");
                return false;
            }
        }
        status_.show("Setup");
        return true;
    }

    bool record_installation() {
        platform::registry_set_text(kProductKey, "InstDir", opt_.dir.c_str());
        std::string dirs[std::size(kDataPlaces)];
        for (std::size_t i = 0; i < std::size(kDataPlaces); ++i) {
            const DataPlace& place = kDataPlaces[i];
            if (platform::registry_get_text(kProductKey, place.name, &dirs[i])) continue;  // the admin's choice stays
            dirs[i] = place.default_dir;
            platform::registry_set_text(kProductKey, place.name, place.default_dir);
            if (!open_tree_dir(root_, place.default_dir, true, place.mode)) return false;
        }
        const std::string rotation = logrotate_text(dirs[0]);
        if (!rotation.empty()) {
            platform::File rules = open_tree_dir(root_, kLogrotateDir, true);
            if (!rules || !write_file_atomic(rules.get(), kLogrotateName, rotation, 0644)) return false;
        }
        platform::registry_set_text(kUninstallKey, "DisplayName", kDisplayName);
        platform::registry_set_text(kUninstallKey, "UninstallString", kUninstallCommand);
        if (platform::registry_flush() != 1) return false;
        if (!root_.given) hand_over_to_service_user(dirs, std::size(kDataPlaces));
        return true;
    }

    // The service runs as its own user: it owns its registry and its data,
    // and nothing of the system's.
    void hand_over_to_service_user(const std::string* dirs, std::size_t n) {
        if (!::getpwnam(kServiceUser)) {
            const char* const argv[] = {"/usr/sbin/useradd", "--system",   "--user-group", "--no-create-home",
                                        "--home-dir",        "/nonexistent", "--shell",    "/usr/sbin/nologin",
                                        kServiceUser,        nullptr};
            (void)run_program(argv);
        }
        const passwd* pw = ::getpwnam(kServiceUser);
        if (!pw) return;
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;
        std::string registry_dir, registry_name;
        if (split_last(registry_, &registry_dir, &registry_name)) {
            if (!is_protected_dir(registry_dir)) give_to(registry_dir, uid, gid, true);
            give_to(registry_, uid, gid, false);
        }
        for (std::size_t i = 0; i < n; ++i)
            if (!is_protected_dir(dirs[i])) give_to(dirs[i], uid, gid, true);
    }

    const SetupOptions& opt_;
    const ImageRoot& root_;
    std::string source_;
    std::string registry_;
    StatusLine status_;
    std::uint32_t cache_layout_ = 0;
    platform::File install_dir_;
};

}  // namespace

void request_abort() { g_abort = 1; }

int run_installation(const SetupOptions& options, const ImageRoot& root, const std::string& source_dir) {
    Installer installer(options, root, source_dir);
    return installer.run();
}

}  // namespace kv::setup
