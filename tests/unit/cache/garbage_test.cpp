#include "cache/garbage.h"

#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

#include "cache/cache_tree.h"
#include "cache/object_file.h"

namespace kv::cache {
namespace {

namespace fs = std::filesystem;

// An object of `bytes` data bytes expiring at `expiry`, last written `age` seconds ago.
fs::path make_object(const fs::path& dir, const char* host, int kind, int n, std::int64_t expiry, std::size_t bytes,
                     long age) {
    unsigned char key[16] = {};
    key[0] = static_cast<unsigned char>(n);
    key[15] = static_cast<unsigned char>(n >> 8);
    char name[kObjectNameLength + 1];
    object_name(static_cast<unsigned>(kind), key, name);
    const fs::path file = dir / (std::string(host) + ".dns") / name;
    fs::create_directories(file.parent_path());
    unsigned char head[kHeaderMax];
    const std::size_t h = encode_header(ObjectHeader{kFormatComplete, 0, 1, expiry, nullptr}, "http://x/", head, sizeof head);
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head), static_cast<std::streamsize>(h));
    out << std::string(bytes, 'd');
    out.close();
    const std::time_t when = std::time(nullptr) - age;
    const utimbuf times{when, when};
    ::utime(file.c_str(), &times);
    return file;
}

TEST(Garbage, DeletesEarliestExpiringUntilBelowLimit) {
    const kv::test::ScratchDir d("kv-cache-garbage");  // the cache directory
    const std::int64_t now = std::time(nullptr);
    std::vector<fs::path> objects;
    // 30 objects of 1000 data bytes over three hosts and all kinds; expiry
    // order unrelated to host or name.
    for (int i = 0; i < 30; ++i) {
        const char* host = i % 3 == 0 ? "a.test" : (i % 3 == 1 ? "b.test" : "c.test");
        objects.push_back(make_object(d.path, host, i % 3, i, now + ((i * 7) % 30) * 60, 1000, 60));
    }
    const std::size_t one = fs::file_size(objects[0]);
    // Last written "after the run began": left whatever its expiry.
    const fs::path young = make_object(d.path, "a.test", 0, 100, now - 999, 1000, -3600);
    // An object name the run cannot rebuild: counted, never deleted.
    std::ofstream(d.path / "c.test.dns" / "0odd.cch") << "odd";
    ::utime((d.path / "c.test.dns" / "0odd.cch").c_str(), nullptr);
    const utimbuf old_times{std::time(nullptr) - 60, std::time(nullptr) - 60};
    ::utime((d.path / "c.test.dns" / "0odd.cch").c_str(), &old_times);

    std::atomic<bool> stopping{false};
    // Keep below 10.5 objects' worth: 20 go, 10 stay.
    GarbageRun g{d.path.c_str(), one * 10.5, &stopping, {}, 0, 0};
    ASSERT_EQ(collect_garbage(g), 1);
    EXPECT_EQ(g.candidates, 30);
    EXPECT_EQ(g.deleted, 20);
    EXPECT_TRUE(fs::exists(young));
    EXPECT_TRUE(fs::exists(d.path / "c.test.dns" / "0odd.cch"));
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(fs::exists(objects[static_cast<std::size_t>(i)]), (i * 7) % 30 >= 20) << "object " << i;
    // The run's totals: what it listed, less what it deleted.
    EXPECT_EQ(g.run.v[kTotalObjects], 11);
    EXPECT_EQ(g.run.v[kTotalBytes], static_cast<std::int32_t>(10 * one + 3));
    EXPECT_EQ(g.run.v[kHttpObjects] + g.run.v[kFtpObjects] + g.run.v[kGopherObjects], 11);
    EXPECT_FALSE(fs::exists(d.path / "gdns.bin"));
    EXPECT_FALSE(fs::exists(d.path / "ghash.bin"));
}

TEST(Garbage, EndsWithoutCandidatesOrWhenStopping) {
    const kv::test::ScratchDir d("kv-cache-garbage");  // the cache directory
    std::atomic<bool> stopping{false};
    GarbageRun g{d.path.c_str(), 0, &stopping, {}, 0, 0};
    EXPECT_EQ(collect_garbage(g), 0);  // empty cache
    make_object(d.path, "a.test", 0, 1, 0, 10, 60);
    stopping = true;
    EXPECT_EQ(collect_garbage(g), 0);
    EXPECT_EQ(g.deleted, 0);
    GarbageRun missing{"/nonexistent/kv-cache", 0, &stopping, {}, 0, 0};
    EXPECT_EQ(collect_garbage(missing), 0);  // work files cannot be made
}

TEST(Garbage, RemovesOnlyEmptyHostDirectories) {
    const kv::test::ScratchDir d("kv-cache-garbage");  // the cache directory
    make_object(d.path, "full.test", 0, 1, 0, 10, 60);
    fs::create_directories(d.path / "empty.test.dns");
    fs::create_directories(d.path / "other");
    std::atomic<bool> stopping{false};
    remove_empty_host_dirs(d.path.c_str(), stopping);
    EXPECT_TRUE(fs::exists(d.path / "full.test.dns"));
    EXPECT_FALSE(fs::exists(d.path / "empty.test.dns"));
    EXPECT_TRUE(fs::exists(d.path / "other"));
}

TEST(CacheTree, ScanCountsByKindDigit) {
    const kv::test::ScratchDir d("kv-cache-garbage");  // the cache directory
    make_object(d.path, "a.test", 0, 1, 0, 100, 0);
    make_object(d.path, "a.test", 1, 2, 0, 200, 0);
    make_object(d.path, "b.test", 2, 3, 0, 300, 0);
    std::ofstream(d.path / "b.test.dns" / "xjunk.cch") << "neither";
    std::ofstream(d.path / "b.test.dns" / "0note.txt") << "not an object";
    fs::create_directories(d.path / "nohost" );
    std::ofstream(d.path / "nohost" / "0a.cch") << "outside a host directory";
    std::atomic<bool> stopping{false};
    const Totals t = scan_totals(d.path.c_str(), stopping);
    const std::int32_t h = 17 + 9 + 1;  // header with "http://x/"
    const Totals want{{3 * h + 600, h + 100, h + 200, h + 300, 3, 1, 1, 1}};
    for (int i = 0; i < kTotalCount; ++i) EXPECT_EQ(t.v[i], want.v[i]) << "total " << i;
}

}  // namespace
}  // namespace kv::cache
