#include "uninstall/uninstall_options.h"

#include <cstring>

namespace kv::uninstall {

bool parse_uninstall_options(int argc, const char* const* argv, UninstallOptions* out) {
    struct Flag {
        const char* name;
        bool* value;
    };
    const Flag flags[] = {{"--remove-logs", &out->logs},
                          {"--remove-mail", &out->mail},
                          {"--remove-cache", &out->cache},
                          {"--remove-config", &out->config}};
    bool seen[std::size(flags) + 2] = {};  // the flags, then --all, then --root
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        std::size_t which = std::size(flags) + 2;
        for (std::size_t f = 0; f < std::size(flags); ++f)
            if (std::strcmp(a, flags[f].name) == 0) which = f;
        if (std::strcmp(a, "--all") == 0) which = std::size(flags);
        if (std::strcmp(a, "--root") == 0) which = std::size(flags) + 1;
        if (which == std::size(flags) + 2 || seen[which]) return false;
        seen[which] = true;
        if (which < std::size(flags)) {
            *flags[which].value = true;
        } else if (which == std::size(flags)) {
            for (const Flag& f : flags) *f.value = true;
        } else {
            if (i + 1 >= argc) return false;
            out->root = argv[++i];
            out->root_given = true;
        }
    }
    return true;
}

}  // namespace kv::uninstall
