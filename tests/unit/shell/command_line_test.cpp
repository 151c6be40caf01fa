#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv::shell {
namespace {

TEST(CommandLine, Readings) {
    struct Case {
        std::vector<const char*> args;
        int ok;
        bool hide = false, service = false;
        long pid = 0;
        bool exit_after = false;
    } cases[] = {
        {{}, 1, false, false, 0, false},
        {{"/hide"}, 1, true, false, 0, false},
        {{"/HIDE"}, 1, true, false, 0, false},
        {{"/HiDe"}, 1, true, false, 0, false},
        {{"--service"}, 1, false, true, 0, false},
        {{"1234"}, 1, false, false, 1234, false},
        {{"1234", "s"}, 1, false, false, 1234, true},
        {{"1234 s"}, 1, false, false, 1234, true},
        {{"1234 "}, 1, false, false, 1234, false},
        {{"1234  "}, 1, false, false, 1234, false},
        {{"1234", "/hide"}, 1, true, false, 1234, false},
        {{"/hide", "1234"}, 1, true, false, 1234, false},
        {{"--service", "/hide", "77", "s"}, 1, true, true, 77, true},
        {{"1073741823"}, 1, false, false, 1073741823, false},
        // Usage errors.
        {{"1073741824"}, 0},
        {{"99999999999"}, 0},
        {{"0"}, 0},
        {{"12ab"}, 0},
        {{"1234 x"}, 0},
        {{"1234 s", "s"}, 0},
        {{"1234", "s", "s"}, 0},
        {{"s"}, 0},
        {{"s", "1234"}, 0},
        {{"1234", "/hide", "s"}, 0},
        {{"/hide", "/hide"}, 0},
        {{"--service", "--service"}, 0},
        {{"1", "2"}, 0},
        {{"1", "2", "3"}, 0},
        {{"-service"}, 0},
        {{"hide"}, 0},
        {{""}, 0},
        {{"-1"}, 0},
        {{"+5"}, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::vector<const char*> argv{"korvanet"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CommandLine cl;
        cl.wait_pid = -5;  // left alone on a usage error
        ASSERT_EQ(parse_command_line(static_cast<int>(argv.size()), argv.data(), &cl), c.ok) << "row " << i;
        if (!c.ok) {
            EXPECT_EQ(cl.wait_pid, -5) << "row " << i;
            continue;
        }
        EXPECT_EQ(cl.hide, c.hide) << "row " << i;
        EXPECT_EQ(cl.service, c.service) << "row " << i;
        EXPECT_EQ(cl.wait_pid, c.pid) << "row " << i;
        EXPECT_EQ(cl.exit_after, c.exit_after) << "row " << i;
    }
}

}  // namespace
}  // namespace kv::shell
