#include <gtest/gtest.h>

#include "dns/internal_query.h"
#include "dns/resolver.h"
#include "platform/socket_error.h"

namespace kv::dns {
namespace {

// A fake clock and a scripted attempt: each attempt takes its time on the
// clock and then succeeds or fails.
std::uint32_t g_now = 0;
std::vector<unsigned> g_sleeps;
std::vector<std::uint32_t> g_attempt_starts;
struct Attempt {
    std::uint32_t takes_ms;
    bool found;
};
std::vector<Attempt> g_script;

std::uint32_t fake_now() { return g_now; }
void fake_sleep(unsigned ms) {
    g_sleeps.push_back(ms);
    g_now += ms;
}
int scripted_once(const char*, in_addr* out) {
    const std::size_t i = g_attempt_starts.size();
    g_attempt_starts.push_back(g_now);
    g_now += g_script[i].takes_ms;
    out->s_addr = 42;
    platform::set_last_socket_error(platform::kWsaHostNotFound);
    return g_script[i].found ? 1 : 0;
}

TEST(Lookup, RetryRuleByTimeOfFailure) {
    struct Case {
        std::uint32_t start;
        std::vector<Attempt> script;
        int result;
        std::vector<std::uint32_t> attempt_starts;  // ms after the start
    };
    const Case kCases[] = {
        {0, {{10, true}}, 1, {0}},
        {0, {{0, false}, {0, true}}, 1, {0, 4000}},
        {0, {{0, false}, {0, false}}, 0, {0, 4000}},
        {0, {{1999, false}, {5, true}}, 1, {0, 4000}},
        {0, {{2000, false}}, 0, {0}},
        {0, {{5000, false}}, 0, {0}},
        // The millisecond tick wraps during the first attempt.
        {0xFFFFFF00u, {{500, false}, {0, true}}, 1, {0, 4000}},
    };
    const ResolverClock clock{fake_now, fake_sleep};
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        g_now = kCases[i].start;
        g_sleeps.clear();
        g_attempt_starts.clear();
        g_script = kCases[i].script;
        in_addr a{};
        EXPECT_EQ(lookup_with_retry("x.example", &a, scripted_once, clock), kCases[i].result) << "row " << i;
        std::vector<std::uint32_t> starts;
        for (std::uint32_t t : g_attempt_starts) starts.push_back(t - kCases[i].start);
        EXPECT_EQ(starts, kCases[i].attempt_starts) << "row " << i;
        if (!kCases[i].result) {
            EXPECT_EQ(platform::last_socket_error(), platform::kWsaHostNotFound) << "row " << i;
        }
    }
}

TEST(Lookup, DottedAddressesAndEmptyNames) {
    ASSERT_EQ(init_resolver(), 1);
    in_addr a{};
    ASSERT_EQ(resolve_once("10.0.0.1", &a), 1);
    EXPECT_EQ(a.s_addr, htonl(0x0A000001));
    EXPECT_EQ(cache_find("10.0.0.1", &a), 0);  // not cached
    platform::set_last_socket_error(0);
    EXPECT_EQ(lookup("", &a), 0);
    EXPECT_EQ(platform::last_socket_error(), platform::kWsaHostNotFound);
}

TEST(InternalQuery, SocketErrorByAnswerCode) {
    struct Case {
        int code, error;
    };
    constexpr Case kCases[] = {
        {3, platform::kWsaHostNotFound}, {2, platform::kWsaTryAgain},    {11, platform::kWsaNoData},
        {1, platform::kWsaNoRecovery},   {4, platform::kWsaNoRecovery},  {5, platform::kWsaNoRecovery},
        {10, platform::kWsaNoRecovery},  {12, platform::kWsaNoRecovery}, {15, platform::kWsaNoRecovery},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_EQ(error_for_answer_code(kCases[i].code), kCases[i].error) << "row " << i;
}

}  // namespace
}  // namespace kv::dns
