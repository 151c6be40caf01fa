#include "net/listener.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace kv::net {
namespace {

TEST(AcceptPause, RestsLongerOnEachFailureAndLogsOncePerEpisode) {
    AcceptPause pause;
    EXPECT_FALSE(pause.resting(0));
    constexpr int kRests[] = {100, 200, 400, 800, 1000, 1000};
    // Starts just below the 32-bit tick wrap: the rests must survive it.
    std::uint32_t now = 0xffffff00u;
    for (std::size_t i = 0; i < std::size(kRests); ++i) {
        EXPECT_EQ(pause.note_exhausted(now), i == 0) << "row " << i;
        EXPECT_EQ(pause.remaining_ms(now), kRests[i]) << "row " << i;
        EXPECT_TRUE(pause.resting(now + kRests[i] - 1)) << "row " << i;
        now += kRests[i];
        EXPECT_FALSE(pause.resting(now)) << "row " << i;
    }
    pause.note_accepted();
    EXPECT_FALSE(pause.resting(now));
    EXPECT_TRUE(pause.note_exhausted(now));  // a new episode
    EXPECT_EQ(pause.remaining_ms(now), 100);
}

TEST(AcceptPause, AcceptErrorsByMeaning) {
    struct Case {
        int err;
        AcceptFailure kind;
    };
    constexpr Case kCases[] = {
        {EAGAIN, AcceptFailure::kNothingPending}, {ECONNABORTED, AcceptFailure::kNothingPending},
        {EINTR, AcceptFailure::kNothingPending},  {EMFILE, AcceptFailure::kExhausted},
        {ENFILE, AcceptFailure::kExhausted},      {ENOBUFS, AcceptFailure::kExhausted},
        {ENOMEM, AcceptFailure::kExhausted},      {EINVAL, AcceptFailure::kOther},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(classify_accept_error(kCases[i].err), kCases[i].kind) << "row " << i;
    EXPECT_EQ(shorter_wait(-1, 5), 5);
    EXPECT_EQ(shorter_wait(7, -1), 7);
    EXPECT_EQ(shorter_wait(7, 5), 5);
}

// A second UDP listener on a taken port must fail, not share the port and
// take half of its datagrams.
TEST(OpenListener, DatagramPortIsNotShared) {
    platform::Socket first = open_listener(0, SOCK_DGRAM);
    ASSERT_TRUE(first.valid());
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(first.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    platform::Socket second = open_listener(ntohs(addr.sin_port), SOCK_DGRAM);
    EXPECT_FALSE(second.valid());
}

}  // namespace
}  // namespace kv::net
