#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "tests/unit/test_support.h"

namespace kv::platform {
namespace {

TEST(InstanceLock, LockTextReadings) {
    struct Case {
        const char* text;
        long pid;
        bool service;
    } cases[] = {
        {"1234", 1234, false},     {"1234 s", 1234, true}, {"1234 s\n", 1234, true},
        {"1234\n", 1234, false},   {"1234 x", 1234, false}, {"", 0, false},
        {"junk", 0, false},        {" 12", 0, false},      {"99999999999", 0, false},
        {"1234 ", 1234, false},
    };
    for (const Case& c : cases) {
        const LockHolder h = parse_lock_text(c.text, std::strlen(c.text));
        EXPECT_EQ(h.pid, c.pid) << c.text;
        EXPECT_EQ(h.service, c.service) << c.text;
    }
}

TEST(InstanceLock, SecondTakerSeesTheFirstAndProbeKeepsNothing) {
    test::ScratchDir dir;
    const std::string path = (dir.path / "registry.reg.lock").string();
    LockHolder holder;
    EXPECT_EQ(probe_instance_lock(path.c_str(), &holder), LockState::kFree);  // no file yet

    File first;
    ASSERT_EQ(take_instance_lock(path.c_str(), true, first, &holder), LockState::kFree);
    std::string text;
    std::getline(std::ifstream(path), text);
    EXPECT_EQ(text, std::to_string(getpid()) + " s");

    // flock locks belong to the open file, so a second open in this process conflicts too.
    File second;
    ASSERT_EQ(take_instance_lock(path.c_str(), false, second, &holder), LockState::kHeld);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(holder.pid, getpid());
    EXPECT_TRUE(holder.service);
    EXPECT_EQ(probe_instance_lock(path.c_str(), &holder), LockState::kHeld);

    first.reset();
    EXPECT_EQ(probe_instance_lock(path.c_str(), &holder), LockState::kFree);
    ASSERT_EQ(take_instance_lock(path.c_str(), false, second, &holder), LockState::kFree);
    EXPECT_EQ(probe_instance_lock(path.c_str(), &holder), LockState::kHeld);
}

}  // namespace
}  // namespace kv::platform
