#include "platform/ppp_link.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

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

TEST(PidFile, BadInputIsNeverALine) {
    const struct {
        std::string data;
        int parsed;
        pid_t pid;
        const char* interface;
    } kCases[] = {
        {"17\n", 1, 17, ""},
        {"17\nppp0\n", 1, 17, "ppp0"},
        {"0\nlo\n", 0, 0, ""},
        {"-17\nlo\n", 0, 0, ""},
        {"+17\n", 0, 0, ""},
        {"2147483648\n", 0, 0, ""},
        {"99999999999999999999999\n", 0, 0, ""},
        {"17\nlo", 0, 0, ""},                             // half written
        {"17", 0, 0, ""},
        {"", 0, 0, ""},
        {"\n", 0, 0, ""},
        {"17\n" + std::string(15, 'i') + "\n", 1, 17, "iiiiiiiiiiiiiii"},
        {"17\n" + std::string(16, 'i') + "\n", 0, 0, ""},  // longer than an interface name
        {"17\n..\\x/y\n", 0, 0, ""},
        {"17\nl o\n", 0, 0, ""},
        {std::string("17\n\0lo\n", 7), 0, 0, ""},
        {std::string("\xff\xfe\0\n\x01", 5), 0, 0, ""},
        {"17\n" + std::string(250, 'x'), 0, 0, ""},
        {std::string(256, '1'), 0, 0, ""},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        pid_t pid = 0;
        char interface[kInterfaceNameSize] = "old";
        EXPECT_EQ(parse_pid_file(kCases[i].data.data(), kCases[i].data.size(), &pid, interface), kCases[i].parsed)
            << "row " << i;
        EXPECT_EQ(pid, kCases[i].pid) << "row " << i;
        if (kCases[i].parsed) {
            EXPECT_STREQ(interface, kCases[i].interface) << "row " << i;
        }
    }
}

TEST(PeerFile, OnlyARegularFileOfExactlyThatName) {
    test::ScratchDir dir;
    touch(dir.path / "work");
    touch(dir.path / "-x");
    std::filesystem::create_directory(dir.path / "folder");
    EXPECT_TRUE(peer_file_exists(dir.path.c_str(), "work"));
    EXPECT_FALSE(peer_file_exists(dir.path.c_str(), "Work"));
    EXPECT_FALSE(peer_file_exists(dir.path.c_str(), "-x"));
    EXPECT_FALSE(peer_file_exists(dir.path.c_str(), "folder"));
    EXPECT_FALSE(peer_file_exists(dir.path.c_str(), ("../" + dir.path.filename().string() + "/work").c_str()));
    EXPECT_FALSE(peer_file_exists(dir.path.c_str(), "none"));
}

// The real pppd side against a script in its place: what it is started
// with, how its line is found and how it is ended.
class PppdProcess : public ::testing::Test {
protected:
    void SetUp() override {
        run = dir.path / "run";
        std::filesystem::create_directory(run);
        program = dir.path / "pppd";
        // Records its arguments and the options on fd 3, writes its pid file
        // or exits 19 when its entry says so, exits 5 on SIGTERM.
        std::ofstream(program) << "#!/bin/sh\n"
                                  "printf '%s\\n' \"$@\" > \"" << (dir.path / "argv").string() << "\"\n"
                                  "case \" $* \" in *' file /dev/fd/3 '*) cat /dev/fd/3 > \""
                               << (dir.path / "options").string() << "\" ;; esac\n"
                                  "case \"$2\" in up) echo $$ > \"" << run.string() << "/lo.pid\" ;;\n"
                                  "  quit) exit 19 ;; esac\n"
                                  "trap 'exit 5' TERM\n"
                                  "while :; do sleep 1; done\n";
        ::chmod(program.c_str(), 0755);
        ::setenv("KORVANET_PPPD", program.c_str(), 1);
        ::setenv("KORVANET_PPP_RUN", run.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KORVANET_PPPD");
        ::unsetenv("KORVANET_PPP_RUN");
    }
    std::string read(const char* name) {
        std::ifstream in(dir.path / name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void wait_for(const char* name) {
        for (int i = 0; i < 250 && !std::filesystem::exists(dir.path / name); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int wait_end(pid_t pid, int* status) {
        for (int i = 0; i < 250; ++i) {
            if (pppd_link().ended(pid, status)) return 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;
    }
    test::ScratchDir dir;
    std::filesystem::path run, program;
};

TEST_F(PppdProcess, OptionsOnDescriptorThreeOnlyWhenSet) {
    const pid_t pid = pppd_link().dial("quit", "bob", "p\"w");
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_TRUE(wait_end(pid, &status));
    EXPECT_EQ(ras_error_for(status).number, 691);
    EXPECT_EQ(read("argv"), "call\nquit\nfile\n/dev/fd/3\nnodetach\n");
    EXPECT_EQ(read("options"), "user \"bob\"\npassword \"p\\\"w\"\n");

    std::filesystem::remove(dir.path / "options");
    const pid_t plain = pppd_link().dial("quit", "", "");
    ASSERT_GT(plain, 0);
    ASSERT_TRUE(wait_end(plain, &status));
    EXPECT_EQ(read("argv"), "call\nquit\nnodetach\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path / "options"));
}

TEST_F(PppdProcess, LineFoundByOurPidThenHungUp) {
    // Thousands of files of others, and files that are not ours, are only read.
    for (int i = 0; i < 2000; ++i) std::ofstream(run / ("other" + std::to_string(i) + ".pid")) << "1\n";
    std::ofstream(run / "junk.pid") << std::string(400, '7');
    const pid_t pid = pppd_link().dial("up", "", "");
    ASSERT_GT(pid, 0);
    in_addr_t address = 0;
    for (int i = 0; i < 250 && !(address = pppd_link().line_address(pid)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(pppd_link().line_address(pid + 1), 0u);
    int status = 0;
    EXPECT_FALSE(pppd_link().ended(pid, &status));
    pppd_link().hang_up(pid);
    EXPECT_NE(::kill(pid, 0), 0);  // gone and reaped: no zombie left under that pid
}

TEST_F(PppdProcess, ForeignLineNeedsALiveProcessAndAnAddress) {
    const pid_t me = ::getpid();
    const struct {
        std::string data;
        pid_t ours;
        int found;
    } kCases[] = {
        {std::to_string(me) + "\nlo\n", 0, 1},
        {std::to_string(me) + "\nlo\n", me, 0},          // our own child's file
        {std::to_string(me) + "\n", 0, 0},                // no interface line
        {std::to_string(me) + "\nnosuch0\n", 0, 0},      // no such interface
        {"2147483646\nlo\n", 0, 0},                      // no such process
        {std::to_string(me) + "\nlo", 0, 0},              // half written
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        std::ofstream(run / "ppp-work.pid", std::ios::trunc) << kCases[i].data;
        pid_t pid = 0;
        in_addr_t address = 0;
        EXPECT_EQ(pppd_link().foreign_line("work", kCases[i].ours, &pid, &address), kCases[i].found) << "row " << i;
        if (kCases[i].found) {
            EXPECT_EQ(pid, me);
            EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
        }
    }
    EXPECT_EQ(pppd_link().foreign_line("../run/ppp-work", 0, nullptr, nullptr), 0);
}

TEST_F(PppdProcess, CommandRunsAndIsReaped) {
    const auto marker = dir.path / "ran";
    // One that prints megabytes and one that outlives the first look: neither is waited for.
    const auto begun = std::chrono::steady_clock::now();
    pppd_link().run_command("head -c 4000000 /dev/zero", true);
    pppd_link().run_command("sleep 1", true);
    pppd_link().reap_commands();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
    pppd_link().run_command(("echo hidden; touch " + marker.string()).c_str(), true);
    for (int i = 0; i < 250 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(std::filesystem::exists(marker));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    pppd_link().reap_commands();
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);  // nothing left to reap
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
