#pragma once
// The texts setup writes besides the copied files: the systemd unit, the four
// menu entries and the log rotation rules. Each names paths as the installed
// system sees them (without the image root).
#include <string>
#include <vector>

namespace kv::setup {

// The unit template carried by the program (setup/korvanet.service.in).
extern const char kUnitTemplate[];

// The template with "@INSTDIR@" replaced by instdir (which ends in '/'),
// escaped for the unit file's syntax; the program path is quoted when it holds
// a blank. Without with_dip the "SupplementaryGroups=dip" line is left out.
std::string render_unit(const char* unit_template, const std::string& instdir, bool with_dip);

// Whether the group file text (the format of /etc/group) has a group named name.
bool group_listed(const std::string& group_file, const char* name);

struct MenuEntry {
    const char* file;  // name in the menu directory
    std::string text;
};
// The four desktop entries for a program installed in instdir.
std::vector<MenuEntry> menu_entries(const std::string& instdir);

// The rotation rules for the five logs of logs_dir; "" when logs_dir is not an
// absolute path that the rules can name (a quote or a control character in it).
std::string logrotate_text(const std::string& logs_dir);

}  // namespace kv::setup
