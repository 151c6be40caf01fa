#pragma once
// What the installer and the uninstaller share: the registry names of an
// installation, the places it occupies under an image root, the way their
// messages reach the terminal, the running-server check, and the pieces both
// remove (the unit with its link, the menu entries).
//
// An image root ("" for the running system) is put in front of every path on
// disk; texts written into files name the paths without it. Below a root given
// on the command line no symbolic link is followed, so nothing is ever read or
// written outside the image.
#include <cstddef>
#include <string>

#include "platform/socket.h"

namespace kv::setup {

inline constexpr const char* kVendorKey = "Software\\Tarnwick";
inline constexpr const char* kProductKey = "Software\\Tarnwick\\Korvanet";
inline constexpr const char* kStatusKey = "Software\\Tarnwick\\Korvanet\\Status";
inline constexpr const char* kUninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvanet";

inline constexpr const char* kDefaultRegistry = "/etc/korvanet/registry.reg";
inline constexpr const char* kUnitDir = "/etc/systemd/system";
inline constexpr const char* kUnitName = "korvanet.service";
inline constexpr const char* kUnitPath = "/etc/systemd/system/korvanet.service";
inline constexpr const char* kWantsDir = "/etc/systemd/system/multi-user.target.wants";
inline constexpr const char* kMenuDir = "/usr/local/share/applications";
inline constexpr const char* kUninstallerDir = "/usr/local/sbin";
inline constexpr const char* kLogrotateDir = "/etc/logrotate.d";
inline constexpr const char* kLogrotateName = "korvanet";

// The image root of a run: the directory given with --root without its
// trailing '/' ("" for the running system), and whether one was given.
struct ImageRoot {
    std::string dir;
    bool given = false;
};

// Whether text names an existing directory; fills *root when it does.
bool take_image_root(const char* text, ImageRoot* root);

// Whether the registry file of a run lies inside its image: below a given
// root, no link on the way to the default registry file nor the file itself
// (KORVANET_REGISTRY names a file outside any root on purpose).
bool registry_inside_root(const ImageRoot& root);

// Reads a small file (at most max bytes) below the root without following a
// link below it; "" when it is missing or unreadable.
std::string read_tree_file(const ImageRoot& root, const std::string& path, std::size_t max = 1 << 20);

// root + path (path absolute).
std::string on_disk(const ImageRoot& root, const std::string& path);
// The path without its trailing '/' characters ("/" stays "/").
std::string without_trailing_slash(const std::string& path);
// The registry file: KORVANET_REGISTRY as it stands, else the default under the root.
std::string registry_file_for(const ImageRoot& root);

// Opens the directory path (absolute, below the root) for the *at calls.
// With create, missing levels are made with mode (the last one) and 0755 (the
// levels above it). Below a given root every level is opened without
// following a link (ELOOP / ENOTDIR then); without one, the system's own links
// are followed as any program follows them. Invalid, errno set, on failure.
platform::File open_tree_dir(const ImageRoot& root, const std::string& path, bool create, unsigned mode = 0755);

// Whether a directory must never be removed or handed to the service user:
// a path that is not absolute, has three characters or less, holds a "." or
// ".." level, or names "/" or one of the system's own directories (compared
// without trailing '/' and repeated '/').
bool is_protected_dir(const std::string& path);

// Splits an absolute path into its directory and last name ("/a/b/" gives
// "/a" and "b"). False for "/" and for paths that are not absolute.
bool split_last(const std::string& path, std::string* dir, std::string* name);

// Removes name in the directory when it is there; a missing name is success.
// 0 with errno otherwise. A link is removed itself, never its target.
int remove_entry(int dir_fd, const char* name);

// Messages: a box's text with "\r\n" as "\n", then a line feed; errors on
// stderr, the rest on stdout.
void print_message(const char* text);
void print_error(const char* text);

// The progress title: printed as a line whenever it differs from the last one.
class StatusLine {
public:
    void show(const char* text);

private:
    std::string last_;
};

// Who holds the registry's instance lock. *pid is the number the lock file
// holds, 0 when it holds none or when the system's lock table does not show
// that process holding the file (a number left by an earlier holder).
enum class Holder { kNone, kDesktop, kService };
Holder running_server(const std::string& registry, long* pid);
// Asks a holder to stop: SIGTERM, only to a pid above 1 that is not ours.
void ask_to_stop(long pid);

// Whether the lock table text (the format of /proc/locks) shows process pid
// holding an flock on the file with inode number inode.
bool lock_table_shows(const std::string& table, long pid, unsigned long long inode);

// Removes the unit file and its multi-user.target.wants link. 1 when both are
// gone (missing ones included); 0 with errno on the first that can't be.
[[nodiscard]] int remove_unit(const ImageRoot& root);
// Whether the unit file is present.
bool unit_present(const ImageRoot& root);
// Removes every korvanet*.desktop of the menu directory (failures ignored).
void remove_menu_entries(const ImageRoot& root);
// systemctl daemon-reload on the running system; its failure is ignored.
void reload_service_manager();

}  // namespace kv::setup
