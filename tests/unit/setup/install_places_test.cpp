#include "setup/install_places.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "tests/unit/test_support.h"

namespace kv::setup {
namespace {

TEST(InstallPlaces, ProtectedDirectories) {
    struct Case {
        const char* path;
        bool is_protected;
    } cases[] = {
        {"/", true},          {"", true},           {"logs", true},          {"C:\\logs", true},
        {"/ab", true},        {"/ab/", true},       {"/abc", false},         {"/var/log", true},
        {"/var/log/", true},  {"//var//log//", true}, {"/var/log/korvanet", false}, {"/usr/local", true},
        {"/usr/local/kv", false}, {"/etc", true},   {"/tmp/", true},         {"/var/log/../..", true},
        {"/var/./log", true}, {"/home", true},      {"/home/alice", false},  {"/var/cache/korvanet/", false},
    };
    for (const Case& c : cases) EXPECT_EQ(is_protected_dir(c.path), c.is_protected) << c.path;
}

TEST(InstallPlaces, LockTableReadings) {
    const std::string table =
        "1: POSIX  ADVISORY  WRITE 700 fe:00:555 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 29210 fe:00:11010639 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 31000 fe:00:11010639 0 EOF\n"
        "3: FLOCK  ADVISORY  READ 4242 00:2b:77 0 EOF";
    struct Case {
        long pid;
        unsigned long long inode;
        bool shown;
    } cases[] = {
        {29210, 11010639, true}, {29210, 11010638, false}, {31000, 11010639, false},  // a waiter holds nothing
        {700, 555, false},                                                          // a record lock
        {4242, 77, true},        {4242, 555, false},       {1, 11010639, false},
    };
    for (const Case& c : cases) EXPECT_EQ(lock_table_shows(table, c.pid, c.inode), c.shown) << c.pid << " " << c.inode;
    EXPECT_FALSE(lock_table_shows("", 29210, 11010639));
    EXPECT_FALSE(lock_table_shows("junk\n\n: FLOCK", 29210, 11010639));
}

TEST(InstallPlaces, TreeDirectoriesStayInsideTheRoot) {
    test::ScratchDir scratch;
    test::ScratchDir outside;
    ImageRoot root;
    ASSERT_TRUE(take_image_root((scratch.path.string() + "//").c_str(), &root));
    EXPECT_EQ(root.dir, scratch.path.string());

    platform::File made = open_tree_dir(root, "/var/spool/korvanet/", true, 0700);
    ASSERT_TRUE(made.valid());
    struct stat st;
    ASSERT_EQ(::stat((scratch.path / "var/spool/korvanet").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat((scratch.path / "var/spool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // A link inside the image is never a way out of it.
    std::filesystem::create_directory_symlink(outside.path, scratch.path / "opt");
    errno = 0;
    EXPECT_FALSE(open_tree_dir(root, "/opt/korvanet", true).valid());
    EXPECT_TRUE(errno == ENOTDIR || errno == ELOOP) << errno;
    EXPECT_TRUE(std::filesystem::is_empty(outside.path));
    EXPECT_FALSE(open_tree_dir(root, "/var/../../etc", false).valid());
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(open_tree_dir(root, "/missing", false).valid());
    EXPECT_EQ(errno, ENOENT);

    EXPECT_FALSE(take_image_root((scratch.path / "missing").c_str(), &root));
    EXPECT_FALSE(take_image_root("", &root));
}

}  // namespace
}  // namespace kv::setup
