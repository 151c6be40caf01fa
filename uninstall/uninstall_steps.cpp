#include "uninstall/uninstall_steps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/instance_lock.h"
#include "platform/registry.h"
#include "uninstall/tree_removal.h"

namespace kv::uninstall {
namespace {

constexpr const char* kProgramFiles[] = {"config.htm", "proxy.pac", "ReadMe.txt", "korvanet", "Admin.url"};

using setup::print_error;

void error_with_reason(const char* text, const char* reason) {
    print_error((std::string(text) + "\r\n\r\nReason: " + reason).c_str());
}

std::string registry_text(const char* name) {
    std::string value;
    if (!platform::registry_get_text(setup::kProductKey, name, &value)) value.clear();
    return value;
}

void remove_data(const setup::ImageRoot& root, const std::string& path, const char* failure_text) {
    if (path.empty()) return;
    int error = 0;
    if (remove_data_tree(root, path, &error) == Removal::kFailed) error_with_reason(failure_text, std::strerror(error));
}

// The uninstall record goes; a file left without any key goes with its lock.
void forget_installation(const std::string& registry, bool config) {
    if (config) platform::registry_delete_key(setup::kVendorKey);
    platform::registry_delete_key(setup::kUninstallKey);
    if (platform::registry_has_keys()) {
        (void)platform::registry_flush();
        return;
    }
    char lock[4200];
    (void)::unlink(registry.c_str());
    if (platform::instance_lock_path(registry.c_str(), lock, sizeof lock)) (void)::unlink(lock);
}

// The five files setup put into the installation directory, then the
// directory itself when nothing else is left in it.
void remove_program_files(const setup::ImageRoot& root, const std::string& instdir) {
    if (setup::is_protected_dir(instdir)) return;
    platform::File dir = setup::open_tree_dir(root, instdir, false);
    if (!dir) return;
    for (const char* name : kProgramFiles) (void)setup::remove_entry(dir.get(), name);
    std::string parent, name;
    if (!setup::split_last(instdir, &parent, &name)) return;
    platform::File up = setup::open_tree_dir(root, parent, false);
    if (up) (void)::unlinkat(up.get(), name.c_str(), AT_REMOVEDIR);  // fails while anything else is there
}

}  // namespace

int run_uninstall(const UninstallOptions& options, const setup::ImageRoot& root) {
    const std::string registry = setup::registry_file_for(root);
    long pid = 0;
    switch (setup::running_server(registry, &pid)) {
        case setup::Holder::kDesktop:
            print_error("Korvanet is running. You must stop it first.");
            return 1;
        case setup::Holder::kService:
            print_error("Service Korvanet is running. You must stop Korvanet service first.");
            return 1;
        case setup::Holder::kNone:
            break;
    }
    if (!root.given && ::geteuid() != 0) {
        print_error("You must be logged in with administration privileges to uninstall Korvanet.");
        return 1;
    }
    // A file that does not parse is never written: stop before anything is removed.
    if (!setup::registry_inside_root(root) || platform::registry_open(registry.c_str()) != 1) {
        error_with_reason("Failed to open registry", (registry + " is not a registry file").c_str());
        return 1;
    }
    setup::print_message("Working, please wait ...");

    if (!setup::remove_unit(root)) {
        error_with_reason("Failed to delete service", std::strerror(errno));
        return 1;
    }
    if (platform::File rules = setup::open_tree_dir(root, setup::kLogrotateDir, false))
        (void)setup::remove_entry(rules.get(), setup::kLogrotateName);
    if (!root.given) setup::reload_service_manager();

    const std::string instdir = registry_text("InstDir");
    if (options.logs) remove_data(root, registry_text("LogsDir"), "Failed to remove Logs directory");
    if (options.mail) remove_data(root, registry_text("MailDir"), "Failed to remove Mail directory");
    if (options.cache) remove_data(root, registry_text("CacheDir"), "Failed to remove Cache directory");
    forget_installation(registry, options.config);
    setup::remove_menu_entries(root);
    if (!instdir.empty()) remove_program_files(root, instdir);

    setup::print_message("Uninstallation completed.");
    setup::print_message("Korvanet was successfuly uninstalled from the system.");
    return 0;
}

}  // namespace kv::uninstall
