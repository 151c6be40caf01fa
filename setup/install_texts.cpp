#include "setup/install_texts.h"

#include <cstdio>
#include <cstring>

namespace kv::setup {
namespace {

constexpr const char* kInstDirMark = "@INSTDIR@";
constexpr const char* kDipLine = "SupplementaryGroups=dip";
constexpr const char* kLogNames[] = {"http-proxy.log", "error.log", "mail.log", "security.log", "dial.log"};

// A unit file's command word: '%' starts a specifier and '\' an escape, so both
// are doubled; inside quotes '"' is escaped too.
std::string unit_word(const std::string& text, bool quoted) {
    std::string out;
    for (char c : text) {
        if (c == '%') out += '%';
        if (c == '\\' || (quoted && c == '"')) out += '\\';
        out += c;
    }
    return out;
}

bool has_blank(const std::string& text) { return text.find_first_of(" \t") != std::string::npos; }

// An Exec= program path: quoted when it holds a character the key reserves.
// Inside the quotes '"', '`', '$' and '\' take a backslash, and the value's
// own string escaping, undone first, doubles every backslash once more
// ("\\$" is a '$', "\\\\" a '\'). '%' is a field code, written "%%".
std::string desktop_exec(const std::string& path) {
    const bool quote = path.find_first_of(" \t\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string out;
    if (quote) out += '"';
    for (char c : path) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$')) out += "\\\\";
        if (c == '\\') {
            out += quote ? "\\\\\\\\" : "\\\\";
            continue;
        }
        out += c;
    }
    if (quote) out += '"';
    return out;
}

// file:// followed by the path, every byte but the unreserved ones and '/' as %XX.
std::string file_url(const std::string& path) {
    std::string out = "file://";
    for (unsigned char c : path) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("-._~/", c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];  // "%XX" + NUL
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string desktop_entry(const char* type, const char* name, const std::string& tail) {
    std::string text = "[Desktop Entry]\nVersion=1.0\nType=";
    text += type;
    text += "\nName=";
    text += name;
    text += '\n';
    text += tail;
    return text;
}

}  // namespace

std::string render_unit(const char* unit_template, const std::string& instdir, bool with_dip) {
    std::string out;
    const char* p = unit_template;
    while (*p) {
        const char* eol = std::strchr(p, '\n');
        std::string line = eol ? std::string(p, static_cast<std::size_t>(eol - p)) : std::string(p);
        p = eol ? eol + 1 : p + line.size();
        if (!with_dip && line == kDipLine) continue;
        const std::size_t mark = line.find(kInstDirMark);
        if (mark != std::string::npos) {
            // The mark starts a program path that runs to the next blank.
            std::size_t end = line.find(' ', mark);
            if (end == std::string::npos) end = line.size();
            const std::string rest = line.substr(mark + std::strlen(kInstDirMark), end - mark - std::strlen(kInstDirMark));
            const std::string program = instdir + rest;
            const bool quote = has_blank(program);
            std::string word = unit_word(program, quote);
            if (quote) word = '"' + word + '"';
            line = line.substr(0, mark) + word + line.substr(end);
        }
        out += line;
        if (eol) out += '\n';
    }
    return out;
}

bool group_listed(const std::string& group_file, const char* name) {
    const std::size_t n = std::strlen(name);
    std::size_t start = 0;
    while (start < group_file.size()) {
        std::size_t end = group_file.find('\n', start);
        if (end == std::string::npos) end = group_file.size();
        if (end - start > n && group_file.compare(start, n, name) == 0 && group_file[start + n] == ':') return true;
        start = end + 1;
    }
    return false;
}

std::vector<MenuEntry> menu_entries(const std::string& instdir) {
    const std::string app_tail = "Terminal=true\nCategories=Network;\n";
    return {
        {"korvanet.desktop",
         desktop_entry("Application", "Korvanet 1.5", "Exec=" + desktop_exec(instdir + "korvanet") + "\n" + app_tail)},
        {"korvanet-readme.desktop", desktop_entry("Link", "Read Me", "URL=" + file_url(instdir + "ReadMe.txt") + "\n")},
        {"korvanet-uninstall.desktop", desktop_entry("Application", "Uninstall Korvanet", "Exec=kvuninst\n" + app_tail)},
        {"korvanet-admin.desktop",
         desktop_entry("Link", "Korvanet Administration", "URL=http://localhost:3129/admin\n")},
    };
}

std::string logrotate_text(const std::string& logs_dir) {
    if (logs_dir.empty() || logs_dir[0] != '/') return "";
    for (unsigned char c : logs_dir)
        if (c < 0x20 || c == 0x7f || c == '"') return "";
    std::string dir = logs_dir;
    if (dir.back() != '/') dir += '/';
    std::string text;
    for (const char* name : kLogNames) text += '"' + dir + name + "\"\n";
    text +=
        "{\n"
        "    weekly\n"
        "    rotate 8\n"
        "    compress\n"
        "    delaycompress\n"
        "    missingok\n"
        "    notifempty\n"
        "    sharedscripts\n"
        "    postrotate\n"
        "        systemctl reload korvanet.service >/dev/null 2>&1 || true\n"
        "    endscript\n"
        "}\n";
    return text;
}

}  // namespace kv::setup
