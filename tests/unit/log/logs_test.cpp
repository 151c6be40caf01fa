#include "log/logs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "tests/unit/test_support.h"

namespace {

namespace fs = std::filesystem;

class LogsTest : public ::testing::Test {
protected:
    void SetUp() override { kv::log::set_stopping(false); }
    void TearDown() override {
        kv::log::close_logs();
        kv::log::set_stopping(false);
        unsetenv("TZ");
        tzset();
    }
    void open(bool access = true, bool security = true, bool dial = true) {
        ASSERT_EQ(kv::log::open_logs(dir_.c_str(), access, security, dial), 1);
    }
    std::string log(const char* name) { return kv::test::read_file(dir_ / name); }
    // The logs directory does not exist yet: opening the logs makes it.
    kv::test::ScratchDir scratch_{"kvlogs"};
    const fs::path dir_ = scratch_.path / "logs";
};

TEST_F(LogsTest, OpenCreatesDirectoryAndTheAlwaysOpenLogs) {
    open(false, false, false);
    EXPECT_TRUE(fs::exists(dir_ / "error.log"));
    EXPECT_TRUE(fs::exists(dir_ / "mail.log"));
    EXPECT_FALSE(fs::exists(dir_ / "http-proxy.log"));
    EXPECT_FALSE(fs::exists(dir_ / "security.log"));
    EXPECT_FALSE(fs::exists(dir_ / "dial.log"));
    EXPECT_TRUE(kv::log::error_log_opened());
    // Open twice is refused.
    EXPECT_EQ(kv::log::open_logs(dir_.c_str(), false, false, false), 0);
}

TEST_F(LogsTest, ErrorEntryFormats) {
    open();
    kv::log::error(7, 1, 0, "short code %s", "x");
    kv::log::error(1102, 3, 10048, "the port number %d is already in use", 80);
    std::string text = log("error.log");
    std::regex entry(
        "Error 007 severity 1 syscode 0 \\[\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\]\r\nshort code x\r\n"
        "Error 1102 severity 3 syscode 10048 \\[\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\]\r\n"
        "the port number 80 is already in use\r\n");
    EXPECT_TRUE(std::regex_match(text, entry)) << text;
}

TEST_F(LogsTest, MessageCutAt699Characters) {
    open();
    std::string longer(800, 'a');
    kv::log::error(1, 1, 0, "%s", longer.c_str());
    std::string text = log("error.log");
    auto body = text.substr(text.find("\r\n") + 2);
    EXPECT_EQ(body, std::string(699, 'a') + "\r\n");
}

TEST_F(LogsTest, AccessLineZoneFollowsTimeZone) {
    struct Case {
        const char* tz;
        const char* zone;
    };
    const Case cases[] = {{"XXX-1", "\\+0100"}, {"XXX5", "-0500"}, {"UTC0", "\\+0000"}, {"XXX-5:30", "\\+0500"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        setenv("TZ", cases[i].tz, 1);
        tzset();
        open(true, false, false);
        char buf[8194];
        kv::log::AccessEntry e{"10.0.0.5", "", "GET", "http", "example.com", "/a?b", 200, 1234};
        kv::log::access(e, buf, sizeof buf);
        kv::log::close_logs();
        std::string text = log("http-proxy.log");
        fs::remove(dir_ / "http-proxy.log");
        std::regex line(std::string("10\\.0\\.0\\.5 - - \\[\\d\\d/[A-Z][a-z][a-z]/\\d{4}:\\d\\d:\\d\\d:\\d\\d ") +
                        cases[i].zone + "\\] \"GET http://example\\.com/a\\?b\" 200 1234\r\n");
        EXPECT_TRUE(std::regex_match(text, line)) << "row " << i << ": " << text;
    }
}

TEST_F(LogsTest, AccessLineShowsUserAndZeroPaddedStatus) {
    open(true, false, false);
    char buf[8194];
    kv::log::AccessEntry e{"host.lan", "alice", "POST", "ftp", "h", "/", 7, 0};
    kv::log::access(e, buf, sizeof buf);
    std::string text = log("http-proxy.log");
    EXPECT_NE(text.find("host.lan - alice ["), std::string::npos) << text;
    EXPECT_NE(text.find("] \"POST ftp://h/\" 007 0\r\n"), std::string::npos) << text;
}

TEST_F(LogsTest, AccessFieldsNeverEndTheLine) {
    open(true, false, false);
    // A user name decoded from credentials, with line ends of its own; the
    // second line is cut at the buffer's end and keeps its own CR LF.
    const std::string long_path = "/" + std::string(100, 'p') + "\r\n";
    const struct {
        std::size_t size;
        const char* path;
    } cases[] = {{8194, "/a\tb"}, {64, long_path.c_str()}};
    for (const auto& c : cases) {
        char buf[8194];
        kv::log::AccessEntry e{"host.lan", "x\r\n10.9.9.9 - boss [", "GET", "http", "h", c.path, 200, 5};
        kv::log::access(e, buf, c.size);
    }
    const std::string text = log("http-proxy.log");
    const std::string first = "host.lan - x??10.9.9.9 - boss [ [";
    ASSERT_EQ(text.find(first), 0u) << text;
    const std::size_t second = text.find("\r\n") + 2;
    EXPECT_NE(text.find("\"GET http://h/a?b\" 200 5\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.compare(second, first.size(), first), 0) << text;
    EXPECT_EQ(text.size(), second + 63) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text.find('\n'), second - 1) << text;
    EXPECT_EQ(text.find('\n', second), text.size() - 1) << text;
}

TEST(PrintableCopy, ControlCharactersShowAsQuestionMarks) {
    const struct {
        const char* text;
        std::size_t size;
        const char* shown;
    } cases[] = {
        {"plain.name", 64, "plain.name"},
        {"a\r\nb\tc\x7f" "d\x01", 64, "a??b?c?d?"},
        {"abcdef", 4, "abc"},   // cut to fit, NUL included
        {"\xe9t\xe9", 64, "\xe9t\xe9"},  // bytes above 0x7f stay
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        char out[64];
        kv::log::printable_copy(cases[i].text, out, cases[i].size);
        EXPECT_STREQ(out, cases[i].shown) << "row " << i;
    }
}

TEST_F(LogsTest, SecurityDialAndMailLines) {
    open();
    kv::log::security("Host \"%s\" tried to access Korvanet on port %d", "127.0.0.2", 3128);
    kv::log::dial("dialled %s", "isp");
    kv::log::mail(true, "sent %d", 1);
    kv::log::mail(false, "failed");
    std::regex stamp("\\[\\d\\d/[A-Z][a-z][a-z]/\\d{4}:\\d\\d:\\d\\d:\\d\\d\\]");
    std::string sec = log("security.log");
    EXPECT_TRUE(std::regex_match(sec, std::regex(
        "\\[[^\\]]+\\] Host \"127\\.0\\.0\\.2\" tried to access Korvanet on port 3128\r\n"))) << sec;
    EXPECT_TRUE(std::regex_match(log("dial.log"), std::regex("\\[[^\\]]+\\] dialled isp\r\n")));
    std::string mail = log("mail.log");
    EXPECT_TRUE(std::regex_match(mail, std::regex("Ok    \\[[^\\]]+\\] sent 1\r\nError \\[[^\\]]+\\] failed\r\n")))
        << mail;
    char ts[40];
    kv::log::timestamp_text(ts, sizeof ts);
    EXPECT_TRUE(std::regex_match(ts, stamp)) << ts;
}

TEST_F(LogsTest, ClearingAnOpenLogKeepsAppending) {
    open();
    kv::log::error(1, 1, 0, "before");
    kv::log::security("before");
    kv::log::clear_error_log();
    kv::log::clear_security_log();
    EXPECT_EQ(log("error.log"), "");
    EXPECT_EQ(log("security.log"), "");
    kv::log::error(2, 1, 0, "after");
    std::string text = log("error.log");
    EXPECT_EQ(text.rfind("Error 002", 0), 0u) << text;
    EXPECT_NE(text.find("after\r\n"), std::string::npos);
    kv::log::mail(true, "one");
    kv::log::clear_mail_log();
    EXPECT_EQ(log("mail.log"), "");
    kv::log::mail(true, "two");
    EXPECT_NE(log("mail.log").find("two"), std::string::npos);
}

TEST_F(LogsTest, ClearingAClosedLogDeletesIt) {
    open(false, false, false);
    std::ofstream(dir_ / "dial.log") << "old\r\n";
    kv::log::clear_dial_log();
    EXPECT_FALSE(fs::exists(dir_ / "dial.log"));
}

TEST_F(LogsTest, NothingIsWrittenOnceStopping) {
    open();
    kv::log::set_stopping(true);
    kv::log::error(1, 1, 0, "late");
    kv::log::security("late");
    kv::log::dial("late");
    kv::log::mail(true, "late");
    char buf[512];
    kv::log::AccessEntry e{"a", "", "GET", "http", "h", "/", 200, 1};
    kv::log::access(e, buf, sizeof buf);
    EXPECT_EQ(kv::log::lock_mail_log(), nullptr);
    for (const char* name : {"error.log", "security.log", "dial.log", "mail.log", "http-proxy.log"})
        EXPECT_EQ(log(name), "") << name;
}

TEST_F(LogsTest, LockMailLogHandsTheStream) {
    open(false, false, false);
    std::FILE* f = kv::log::lock_mail_log();
    ASSERT_NE(f, nullptr);
    std::fputs("own line\r\n", f);
    std::fflush(f);
    kv::log::unlock_mail_log();
    kv::log::mail(true, "next");  // the lock was released
    EXPECT_EQ(log("mail.log").rfind("own line\r\nOk    [", 0), 0u);
}

TEST_F(LogsTest, ReopenStartsNewFilesWhereTheOldWereMovedAside) {
    open(true, true, false);  // dial.log stays closed
    kv::log::error(1, 1, 0, "old");
    kv::log::mail(true, "old");
    const char* moved[] = {"error.log", "mail.log", "http-proxy.log", "security.log"};
    for (const char* name : moved) fs::rename(dir_ / name, dir_ / (std::string(name) + ".1"));
    kv::log::reopen_logs();
    for (const char* name : moved) EXPECT_TRUE(fs::exists(dir_ / name)) << name;
    EXPECT_FALSE(fs::exists(dir_ / "dial.log"));  // a closed log is not opened by a reopen
    kv::log::error(2, 1, 0, "new");
    kv::log::mail(true, "new");
    kv::log::security("new");
    EXPECT_NE(log("error.log").find("new\r\n"), std::string::npos);
    EXPECT_EQ(log("error.log").find("old"), std::string::npos);
    EXPECT_NE(log("mail.log").find("new"), std::string::npos);
    EXPECT_NE(log("security.log").find("new"), std::string::npos);
    EXPECT_EQ(log("error.log.1").find("new"), std::string::npos);
    EXPECT_NE(log("error.log.1").find("old"), std::string::npos);
    // The whole directory moved away: it is made again.
    fs::rename(dir_, scratch_.path / "logs.1");
    kv::log::reopen_logs();
    kv::log::error(3, 1, 0, "third");
    EXPECT_NE(log("error.log").find("third"), std::string::npos);
}

}  // namespace
