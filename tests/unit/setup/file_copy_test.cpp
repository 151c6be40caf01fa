#include "setup/file_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_io.h"
#include "tests/unit/test_support.h"

namespace kv::setup {
namespace {

namespace fs = std::filesystem;

unsigned mode_of(const fs::path& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(FileCopy, CopiesWholeFilesUnderTheirModeAndLeavesNoTemporary) {
    test::ScratchDir dir;
    platform::File target = platform::open_file(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(target.valid());
    const std::size_t sizes[] = {0, 1, 65535, 65536, 65537, 3 * 65536 + 17};
    for (std::size_t size : sizes) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + size);
        const fs::path source = dir.path / ("source-" + std::to_string(size));
        std::ofstream(source, std::ios::binary) << data;
        ASSERT_EQ(copy_file_atomic(source.c_str(), target.get(), "korvanet", 0755), 1) << size;
        EXPECT_EQ(test::read_file(dir.path / "korvanet"), data) << size;
        EXPECT_EQ(mode_of(dir.path / "korvanet"), 0755u);
    }
    ASSERT_EQ(write_file_atomic(target.get(), "Admin.url", "[InternetShortcut]\n", 0644), 1);
    EXPECT_EQ(mode_of(dir.path / "Admin.url"), 0644u);
    for (const auto& e : fs::directory_iterator(dir.path))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();  // no temporary name stays
}

TEST(FileCopy, AFailedCopyLeavesTheTargetAsItWas) {
    test::ScratchDir dir;
    platform::File target = platform::open_file(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    std::ofstream(dir.path / "config.htm") << "old";
    errno = 0;
    EXPECT_EQ(copy_file_atomic((dir.path / "missing").c_str(), target.get(), "config.htm", 0644), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(copy_file_atomic(dir.path.c_str(), target.get(), "config.htm", 0644), 0);  // a directory
    EXPECT_EQ(errno, EISDIR);
    fs::create_directories(dir.path / "unit.service" / "inside");
    EXPECT_EQ(write_file_atomic(target.get(), "unit.service", "[Unit]\n", 0644), 0);
    EXPECT_EQ(test::read_file(dir.path / "config.htm"), "old");
    std::size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir.path)) entries += e.path().filename().string()[0] != '.';
    EXPECT_EQ(entries, 2u);
    for (const auto& e : fs::directory_iterator(dir.path)) EXPECT_NE(e.path().filename().string()[0], '.');
}

}  // namespace
}  // namespace kv::setup
