#include "uninstall/tree_removal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"

namespace kv::uninstall {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& p, const std::string& text = "x") {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

// Every path below dir, relative, sorted; links are not followed.
std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> out;
    if (!fs::exists(fs::symlink_status(dir))) return out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it)
        out.push_back(fs::relative(it->path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

class TreeRemoval : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(setup::take_image_root(image.path.c_str(), &root)); }

    Removal remove(const std::string& path) { return remove_data_tree(root, path, &error); }

    test::ScratchDir image{"kv-image"};
    test::ScratchDir outside{"kv-outside"};
    setup::ImageRoot root;
    int error = -1;
};

TEST_F(TreeRemoval, LinksAreRemovedNeverFollowed) {
    write(outside.path / "deep/precious.txt", "keep");
    const fs::path cache = image.path / "var/cache/korvanet";
    write(cache / "ab/0123.obj");
    write(cache / "name with\nnewline");
    write(cache / ".hidden");
    fs::create_directory_symlink(outside.path, cache / "to-dir");
    fs::create_symlink(outside.path / "deep/precious.txt", cache / "ab/to-file");
    fs::create_symlink("/nonexistent", cache / "dangling");
    EXPECT_EQ(remove("/var/cache/korvanet/"), Removal::kRemoved);
    EXPECT_FALSE(fs::exists(fs::symlink_status(cache)));
    EXPECT_TRUE(fs::exists(image.path / "var/cache"));
    EXPECT_EQ(listing(outside.path), (std::vector<std::string>{"deep", "deep/precious.txt"}));
}

TEST_F(TreeRemoval, TheDirectoryItselfALinkLosesOnlyTheLink) {
    write(outside.path / "mail/bob");
    fs::create_directories(image.path / "var/spool");
    fs::create_directory_symlink(outside.path / "mail", image.path / "var/spool/korvanet");
    EXPECT_EQ(remove("/var/spool/korvanet"), Removal::kRemoved);
    EXPECT_FALSE(fs::exists(fs::symlink_status(image.path / "var/spool/korvanet")));
    EXPECT_TRUE(fs::exists(outside.path / "mail/bob"));

    // A link on the way to the directory is never entered either.
    fs::create_directory_symlink(outside.path, image.path / "srv");
    EXPECT_EQ(remove("/srv/mail"), Removal::kFailed);
    EXPECT_TRUE(error == ENOTDIR || error == ELOOP) << error;
    EXPECT_TRUE(fs::exists(outside.path / "mail/bob"));
}

TEST_F(TreeRemoval, KeptNamesKeepTheirDirectories) {
    const fs::path logs = image.path / "logs";
    write(logs / "error.log");
    write(logs / "old/setup");
    write(logs / "old/a/b/kvuninst");
    write(logs / "old/a/gone.txt");
    write(logs / "other/gone.txt");
    fs::create_directories(logs / "setup");  // a directory of that name is no kept file
    write(logs / "setup/inner.txt");
    EXPECT_EQ(remove(logs.string().substr(image.path.string().size())), Removal::kRemoved);
    EXPECT_EQ(listing(logs), (std::vector<std::string>{"old", "old/a", "old/a/b", "old/a/b/kvuninst", "old/setup"}));
}

TEST_F(TreeRemoval, RefusedAndMissingPaths) {
    write(image.path / "var/log/syslog");
    write(image.path / "ab/file");
    const char* refused[] = {"/", "", "var/log", "/ab", "/var/log", "/var/log/", "/var/log/korvanet/..", "/usr/local",
                             "/etc", "/var/./log/korvanet"};
    for (const char* path : refused) EXPECT_EQ(remove(path), Removal::kProtected) << path;
    EXPECT_TRUE(fs::exists(image.path / "var/log/syslog"));
    EXPECT_TRUE(fs::exists(image.path / "ab/file"));
    EXPECT_EQ(remove("/var/log/korvanet"), Removal::kMissing);
    EXPECT_EQ(remove("/nowhere/at/all"), Removal::kMissing);
    write(image.path / "var/cache/plain-file");
    EXPECT_EQ(remove("/var/cache/plain-file"), Removal::kFailed);
    EXPECT_EQ(error, ENOTDIR);
    EXPECT_TRUE(fs::exists(image.path / "var/cache/plain-file"));
}

TEST_F(TreeRemoval, LargeAndDeepTrees) {
    const fs::path cache = image.path / "cache";
    for (int d = 0; d < 100; ++d)
        for (int f = 0; f < 100; ++f) write(cache / std::to_string(d) / std::to_string(f));
    EXPECT_EQ(remove("/cache"), Removal::kRemoved);
    EXPECT_FALSE(fs::exists(cache));

    // Deeper than the walk goes: it stops with an error and removes nothing above the limit's level.
    fs::path deep = image.path / "deep";
    for (int i = 0; i <= kMaxTreeDepth + 1; ++i) deep /= "d";
    fs::create_directories(deep);
    EXPECT_EQ(remove("/deep"), Removal::kFailed);
    EXPECT_EQ(error, ELOOP);
    EXPECT_TRUE(fs::exists(image.path / "deep"));
}

}  // namespace
}  // namespace kv::uninstall
