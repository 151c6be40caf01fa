#include "setup/setup_options.h"

#include <cstring>
#include <utility>

namespace kv::setup {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool normalise_install_dir(const std::string& text, std::string* dir) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    std::string d = text.substr(begin, end - begin);
    if (d.empty() || d[0] != '/' || d.size() > kMaxInstallDir) return false;
    // The path goes into the unit file and the menu entries, one line each: a
    // line break inside it would add lines of its own.
    for (unsigned char c : d)
        if (c < 0x20 || c == 0x7f) return false;
    while (!d.empty() && d.back() == '/') d.pop_back();
    *dir = d + '/';
    return true;
}

SetupArgs parse_setup_options(int argc, const char* const* argv, SetupOptions* out) {
    bool seen_root = false, seen_dir = false, seen_mode = false, seen_config = false, seen_menu = false,
         seen_source = false;
    std::string dir_text;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto once = [](bool* seen) { return !std::exchange(*seen, true); };
        auto value = [&](std::string* into) {
            if (i + 1 >= argc) return false;
            *into = argv[++i];
            return true;
        };
        bool ok = false;
        if (std::strcmp(a, "--root") == 0) {
            ok = once(&seen_root) && value(&out->root);
            out->root_given = true;
        } else if (std::strcmp(a, "--dir") == 0) {
            ok = once(&seen_dir) && value(&dir_text);
        } else if (std::strcmp(a, "--service") == 0 || std::strcmp(a, "--application") == 0) {
            ok = once(&seen_mode);
            out->service = a[2] == 's';
        } else if (std::strcmp(a, "--keep-config") == 0 || std::strcmp(a, "--new-config") == 0) {
            ok = once(&seen_config);
            out->keep_config = a[2] == 'k';
        } else if (std::strcmp(a, "--no-menu") == 0) {
            ok = once(&seen_menu);
            out->menu = false;
        } else if (std::strcmp(a, "--source") == 0) {
            ok = once(&seen_source) && value(&out->source) && !out->source.empty();
        }
        if (!ok) return SetupArgs::kUsage;
    }
    if (seen_dir && !normalise_install_dir(dir_text, &out->dir)) return SetupArgs::kBadDirectory;
    return SetupArgs::kOk;
}

}  // namespace kv::setup
