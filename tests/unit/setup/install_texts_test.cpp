#include "setup/install_texts.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::setup {
namespace {

constexpr const char* kTemplate =
    "[Service]\nExecStart=@INSTDIR@korvanet --service\nUser=korvanet\nSupplementaryGroups=dip\nPrivateTmp=yes\n";

TEST(UnitText, InstallationDirectoryIsEscapedForTheUnitSyntax) {
    struct Case {
        const char* instdir;
        bool dip;
        const char* exec_line;
    } cases[] = {
        {"/opt/korvanet/", true, "ExecStart=/opt/korvanet/korvanet --service"},
        {"/opt/korvanet/", false, "ExecStart=/opt/korvanet/korvanet --service"},
        {"/opt/Korvanet 1.5/", true, "ExecStart=\"/opt/Korvanet 1.5/korvanet\" --service"},
        {"/opt/100%/", true, "ExecStart=/opt/100%%/korvanet --service"},      // '%' starts a specifier
        {"/opt/a\\b/", true, "ExecStart=/opt/a\\\\b/korvanet --service"},     // '\' starts an escape
        {"/opt/a \"b\"/", true, "ExecStart=\"/opt/a \\\"b\\\"/korvanet\" --service"},
    };
    for (const Case& c : cases) {
        const std::string unit = render_unit(kTemplate, c.instdir, c.dip);
        const std::string expected = std::string("[Service]\n") + c.exec_line + "\nUser=korvanet\n" +
                                     (c.dip ? "SupplementaryGroups=dip\n" : "") + "PrivateTmp=yes\n";
        EXPECT_EQ(unit, expected) << c.instdir;
    }
}

TEST(UnitText, GroupFileLookup) {
    const std::string groups = "root:x:0:\ndipper:x:5:\nmail:x:8:\n";
    EXPECT_FALSE(group_listed(groups, "dip"));
    EXPECT_TRUE(group_listed(groups + "dip:x:30:alice\n", "dip"));
    EXPECT_TRUE(group_listed("dip:x:30:", "dip"));  // no final line feed
    EXPECT_FALSE(group_listed("", "dip"));
    EXPECT_FALSE(group_listed("dip", "dip"));  // a name without its fields is no entry
}

TEST(MenuEntries, ProgramPathsAreQuotedAndUrlsEncoded) {
    struct Case {
        const char* instdir;
        const char* exec;
        const char* url;
    } cases[] = {
        {"/opt/korvanet/", "Exec=/opt/korvanet/korvanet\n", "URL=file:///opt/korvanet/ReadMe.txt\n"},
        {"/opt/my kv/", "Exec=\"/opt/my kv/korvanet\"\n", "URL=file:///opt/my%20kv/ReadMe.txt\n"},
        {"/opt/50%/", "Exec=/opt/50%%/korvanet\n", "URL=file:///opt/50%25/ReadMe.txt\n"},
        {"/opt/a\\b/", "Exec=\"/opt/a\\\\\\\\b/korvanet\"\n", "URL=file:///opt/a%5Cb/ReadMe.txt\n"},
        {"/opt/$x/", "Exec=\"/opt/\\\\$x/korvanet\"\n", "URL=file:///opt/%24x/ReadMe.txt\n"},
    };
    for (const Case& c : cases) {
        const auto entries = menu_entries(c.instdir);
        ASSERT_EQ(entries.size(), 4u);
        EXPECT_STREQ(entries[0].file, "korvanet.desktop");
        EXPECT_NE(entries[0].text.find(c.exec), std::string::npos) << entries[0].text;
        EXPECT_NE(entries[1].text.find(c.url), std::string::npos) << entries[1].text;
    }
}

TEST(LogRotation, NamesTheFiveLogsOrNothing) {
    const std::string rules = logrotate_text("/var/log/korvanet");
    EXPECT_EQ(rules.substr(0, rules.find('{')),
              "\"/var/log/korvanet/http-proxy.log\"\n\"/var/log/korvanet/error.log\"\n\"/var/log/korvanet/mail.log\"\n"
              "\"/var/log/korvanet/security.log\"\n\"/var/log/korvanet/dial.log\"\n");
    EXPECT_EQ(logrotate_text("/var/log/korvanet/"), rules);
    const char* refused[] = {"", "logs", "C:\\logs", "/var/log/\"x", "/var/log/a\nb"};
    for (const char* dir : refused) EXPECT_EQ(logrotate_text(dir), "") << dir;
}

}  // namespace
}  // namespace kv::setup
