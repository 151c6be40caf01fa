// Feeds arbitrary bytes to the server as its registry file: the settings and
// the eight lists are loaded from it and saved back, then loaded and saved a
// second time. Besides the sanitizers' checks, the second file must equal the
// first (every value and list record survives its own round trip), and a file
// that does not parse must be left as it was.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "config/settings.h"
#include "platform/install_dir.h"
#include "platform/registry.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::string read_whole(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// The registry lives in memory-backed storage (every save syncs it), in one
// directory made anew at each start, so runs leave at most one behind.
const std::string& registry_file() {
    static const std::string path = [] {
        const std::filesystem::path dir = "/dev/shm/kv-registry-fuzz";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        ::setenv("KORVANET_REGISTRY", (dir / "registry.reg").c_str(), 1);
        ::setenv("KORVANET_HOME", (dir.string() + "/").c_str(), 1);
        return (dir / "registry.reg").string();
    }();
    return path;
}

std::string load_and_save(kv::config::Settings& s) {
    s.~Settings();
    new (&s) kv::config::Settings();
    (void)kv::config::load_settings(s);
    if (!kv::config::save_settings(s)) return std::string();
    return read_whole(registry_file());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = registry_file();
    const std::string input(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << input;
    }
    static auto settings = std::make_unique<kv::config::Settings>();
    const std::string first = load_and_save(*settings);
    if (first.empty()) {
        if (read_whole(path) != input && std::getenv("KV_FUZZ_SHOW"))
            std::fprintf(stderr, "refused, yet rewritten\n");
        check(read_whole(path) == input);  // refused, never rewritten
        return 0;
    }
    const std::string second = load_and_save(*settings);
    if (second != first && std::getenv("KV_FUZZ_SHOW")) {  // for a look at a finding
        std::ofstream(path + ".first", std::ios::binary) << first;
        std::ofstream(path + ".second", std::ios::binary) << second;
        std::fprintf(stderr, "the saves differ: %s.first, %s.second\n", path.c_str(), path.c_str());
    }
    check(second == first);
    return 0;
}
