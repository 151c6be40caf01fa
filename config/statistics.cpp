// Counters that survive restarts, kept in the Status key of the settings.
#include <cstdint>

#include "config/settings.h"
#include "platform/install_dir.h"
#include "platform/registry.h"

namespace kv::config {
namespace {

constexpr const char* kStatusKey = "Software\\Tarnwick\\Korvanet\\Status";
// Marks the cache layout of this version; the installer renames an older cache
// directory when the value is missing or lower.
constexpr std::uint32_t kCacheLayoutVersion = 10;

struct Counter {
    const char* name;
    std::uint32_t Statistics::*field;
    bool loaded;  // HoursSinceLast starts at 0 after each start
};
constexpr Counter kCounters[] = {
    {"Hit", &Statistics::Hit, true},
    {"HttpHit", &Statistics::HttpHit, true},
    {"FtpHit", &Statistics::FtpHit, true},
    {"GopherHit", &Statistics::GopherHit, true},
    {"Miss", &Statistics::Miss, true},
    {"HttpMiss", &Statistics::HttpMiss, true},
    {"FtpMiss", &Statistics::FtpMiss, true},
    {"GopherMiss", &Statistics::GopherMiss, true},
    {"HideOnStartup", &Statistics::HideOnStartup, true},
    {"LastMailSent", &Statistics::LastMailSent, true},
    {"GarbageCount", &Statistics::GarbageCount, true},
    {"LastGarbageMin", &Statistics::LastGarbageMin, true},
    {"HoursSinceLast", &Statistics::HoursSinceLast, false},
};

}  // namespace

Statistics& statistics() {
    static Statistics s{};
    return s;
}

int open_statistics() {
    // Normally the settings load has read the file already; a caller that comes
    // first reads it here so the save has a file to go to.
    if (platform::registry_file()[0] == '\0') (void)platform::registry_open(platform::registry_path());
    platform::registry_create_key(kStatusKey);
    load_statistics();
    return 1;
}

void load_statistics() {
    Statistics& s = statistics();
    for (const Counter& c : kCounters) {
        if (!c.loaded) continue;
        std::uint32_t v = 0;
        s.*c.field = platform::registry_get_dword(kStatusKey, c.name, &v) ? v : 0;
    }
}

int save_statistics() {
    const Statistics& s = statistics();
    for (const Counter& c : kCounters) platform::registry_set_dword(kStatusKey, c.name, s.*c.field);
    platform::registry_set_dword(kStatusKey, "iv", kCacheLayoutVersion);
    return platform::registry_flush();
}

void close_statistics() { (void)save_statistics(); }

}  // namespace kv::config
