#include "platform/ppp_link.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "tests/unit/test_support.h"

namespace kv::platform {
namespace {

void touch(const std::filesystem::path& p, mode_t mode = 0644) {
    std::ofstream(p) << "x";
    ::chmod(p.c_str(), mode);
}

TEST(PppdPresence, MissingUnusableAndPresent) {
    test::ScratchDir dir;
    touch(dir.path / "pppd", 0755);
    touch(dir.path / "plain", 0644);
    std::filesystem::create_directory(dir.path / "folder");
    EXPECT_EQ(pppd_presence((dir.path / "none").c_str()), PppdPresence::kAbsent);
    EXPECT_EQ(pppd_presence((dir.path / "plain" / "x").c_str()), PppdPresence::kAbsent);  // ENOTDIR
    EXPECT_EQ(pppd_presence((dir.path / "plain").c_str()), PppdPresence::kUnusable);
    EXPECT_EQ(pppd_presence((dir.path / "folder").c_str()), PppdPresence::kUnusable);
    EXPECT_EQ(pppd_presence((dir.path / "pppd").c_str()), PppdPresence::kPresent);
}

TEST(PhoneBook, RegularFilesInByteOrderFirstTwenty) {
    test::ScratchDir dir;
    for (const char* name : {"work", "Home", ".hidden", "backup~", "isp-b", "isp-a"}) touch(dir.path / name);
    std::filesystem::create_directory(dir.path / "subdir");
    std::filesystem::create_symlink(dir.path / "work", dir.path / "via-link");
    touch(dir.path / std::string(60, 'n'));  // longer than a ConnName holds
    EXPECT_EQ(phone_book(dir.path.c_str()), (std::vector<std::string>{"Home", "isp-a", "isp-b", "via-link", "work"}));
    for (int i = 0; i < 30; ++i) touch(dir.path / ("p" + std::to_string(100 + i)));
    const std::vector<std::string> book = phone_book(dir.path.c_str());
    ASSERT_EQ(book.size(), 20u);
    EXPECT_EQ(book.front(), "Home");
    EXPECT_EQ(book.back(), "p116");  // after Home, isp-a and isp-b
    EXPECT_TRUE(phone_book((dir.path / "none").c_str()).empty());
}

TEST(PeerName, OnlyPlainNamesMayBeDialled) {
    const struct {
        const char* name;
        bool usable;
    } kCases[] = {{"provider", true}, {"my isp", true}, {"(none)", true}, {"", false}, {".hidden", false},
                  {"-option", false}, {"../etc/x", false}, {"a/b", false}, {"tab\there", false},
                  {"del\x7f", false}};
    for (const auto& c : kCases) EXPECT_EQ(peer_name_usable(c.name), c.usable) << c.name;
    EXPECT_FALSE(peer_name_usable(nullptr));
}

TEST(AuthOptions, QuotedWithEscapesEachWhenSet) {
    EXPECT_EQ(pppd_auth_options("", ""), "");
    EXPECT_EQ(pppd_auth_options("bob", ""), "user \"bob\"\n");
    EXPECT_EQ(pppd_auth_options("", "pw"), "password \"pw\"\n");
    EXPECT_EQ(pppd_auth_options("a\"b", "c\\d\"e"), "user \"a\\\"b\"\npassword \"c\\\\d\\\"e\"\n");
}

TEST(PidFile, NamesOurLinkOnlyWhenComplete) {
    const struct {
        std::string data;
        const char* file;
        int found;
        const char* interface;
    } kCases[] = {
        {"4242\n", "ppp0.pid", 1, "ppp0"},
        {"4242\nppp3\n", "ppp-work.pid", 1, "ppp3"},
        {"4242\n", "ppp-work.pid", 1, "ppp-work"},
        {"4243\n", "ppp0.pid", 0, ""},       // another process
        {"4242", "ppp0.pid", 0, ""},         // partly written
        {"4242\nppp3", "ppp-work.pid", 0, ""},
        {"4242\n\n", "ppp0.pid", 0, ""},
        {"x4242\n", "ppp0.pid", 0, ""},
        {"4242\nppp0\nmore\n", "ppp0.pid", 0, ""},
        {"4242\n", "ppp0.txt", 0, ""},
        {"4242\na/b\n", "ppp0.pid", 0, ""},
        {"4242\n" + std::string(16, 'i') + "\n", "ppp0.pid", 0, ""},
        {"4242\n" + std::string(300, 'x'), "ppp0.pid", 0, ""},
    };
    for (const auto& c : kCases) {
        char interface[kInterfaceNameSize] = "old";
        EXPECT_EQ(pid_file_interface(c.data.data(), c.data.size(), 4242, c.file, interface), c.found) << c.data;
        EXPECT_STREQ(interface, c.interface) << c.data;
    }
}

TEST(RasError, ExitStatusMapsToNumberAndText) {
    const struct {
        int exit_status;
        int number;
    } kCases[] = {{2, 625}, {4, 608}, {5, 631}, {6, 633}, {7, 633}, {8, 651}, {9, 651}, {18, 651},
                  {10, 734}, {11, 645}, {12, 628}, {13, 628}, {14, 628}, {15, 629}, {16, 629},
                  {17, 737}, {19, 691}, {0, 635}, {1, 635}, {3, 635}, {20, 635}};
    for (const auto& c : kCases) EXPECT_EQ(ras_error_for(c.exit_status << 8).number, c.number) << c.exit_status;
    EXPECT_STREQ(ras_error_for(19 << 8).text, "Access denied because username and/or password is invalid.");
    EXPECT_STREQ(ras_error_for(2 << 8).text, "The phone book entry is invalid.");
    const RasError killed = ras_error_for(9);  // killed by SIGKILL
    EXPECT_EQ(killed.number, 635);
    EXPECT_STREQ(killed.text, "An unknown error occurred.");
}

}  // namespace
}  // namespace kv::platform
