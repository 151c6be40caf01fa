#include "setup/setup_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv::setup {
namespace {

TEST(SetupOptions, InstallationDirectoryRules) {
    struct Case {
        std::string in;
        bool ok;
        std::string dir;
    } cases[] = {
        {"/opt/korvanet", true, "/opt/korvanet/"},
        {"  /opt/korvanet//  ", true, "/opt/korvanet/"},
        {"\t/srv/my kv\t", true, "/srv/my kv/"},
        {"/", true, "/"},  // refused later, where directories are made
        {"", false, ""},
        {"   ", false, ""},
        {"opt/korvanet", false, ""},
        {"/opt/kv\nExecStartPre=/bin/sh", false, ""},
        {"/" + std::string(258, 'k'), true, "/" + std::string(258, 'k') + "/"},  // 259 characters
        {"/" + std::string(259, 'k'), false, ""},                                // 260
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string dir;
        EXPECT_EQ(normalise_install_dir(cases[i].in, &dir), cases[i].ok) << "row " << i;
        if (cases[i].ok) {
            EXPECT_EQ(dir, cases[i].dir) << "row " << i;
        }
    }
}

SetupArgs parse(std::vector<const char*> args, SetupOptions* out) {
    args.insert(args.begin(), "setup");
    return parse_setup_options(static_cast<int>(args.size()), args.data(), out);
}

TEST(SetupOptions, CommandLines) {
    SetupOptions o;
    ASSERT_EQ(parse({}, &o), SetupArgs::kOk);
    EXPECT_EQ(o.dir, "/opt/korvanet/");
    EXPECT_TRUE(o.service && o.keep_config && o.menu && !o.root_given && o.source.empty());

    SetupOptions all;
    ASSERT_EQ(parse({"--no-menu", "--application", "--new-config", "--root", "/tmp", "--source", "/src", "--dir",
                     "/srv/kv"},
                    &all),
              SetupArgs::kOk);
    EXPECT_FALSE(all.service || all.keep_config || all.menu);
    EXPECT_TRUE(all.root_given);
    EXPECT_EQ(all.root, "/tmp");
    EXPECT_EQ(all.source, "/src");
    EXPECT_EQ(all.dir, "/srv/kv/");

    const std::vector<std::vector<const char*>> usage = {
        {"--bogus"},          {"--dir"},          {"--root"},           {"--source"},
        {"--source", ""},     {"--no-menu", "--no-menu"}, {"--service", "--application"},
        {"--service", "--service"}, {"--keep-config", "--new-config"}, {"--dir", "/a", "--dir", "/b"},
        {"-dir", "/a"},       {"--dir=/a"},
    };
    for (std::size_t i = 0; i < usage.size(); ++i) {
        SetupOptions u;
        EXPECT_EQ(parse(usage[i], &u), SetupArgs::kUsage) << "row " << i;
    }
    SetupOptions bad;
    EXPECT_EQ(parse({"--dir", "relative"}, &bad), SetupArgs::kBadDirectory);
}

}  // namespace
}  // namespace kv::setup
