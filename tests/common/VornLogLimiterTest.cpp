#include <gtest/gtest.h>

#include <chrono>

#include "common/VornLogLimiter.h"

namespace {

using namespace std::chrono_literals;
using Clock = VornLogLimiter::Clock;

// An outage: the first failure is written, its repeats at most once per
// interval with the count (and amount) of those not written, a new kind at
// once; the success that ends it tells the whole run, and starts afresh.
TEST(VornLogLimiter, RepeatsAreCountedNotWrittenUntilTheIntervalOrTheEnd)
{
    VornLogLimiter limiter(10s);
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(0u, limiter.succeeded().failures);  // nothing to recover from

    EXPECT_TRUE(limiter.failed("Timed out (3 blocks not delivered)", t0, 3).write);
    for (int i = 1; i <= 500; ++i) {
        // Texts differing only in their numbers are one kind.
        EXPECT_FALSE(limiter.failed("Timed out (" + std::to_string(i) + " blocks not delivered)", t0 + 9s, 2).write);
    }
    const VornLogLimiter::Verdict other = limiter.failed("Connection refused", t0 + 9s);
    EXPECT_TRUE(other.write);
    EXPECT_EQ(0u, other.unwritten);
    EXPECT_FALSE(limiter.failed("Connection refused", t0 + 12s).write);

    const VornLogLimiter::Verdict again = limiter.failed("Timed out (1 blocks not delivered)", t0 + 10s, 1);
    EXPECT_TRUE(again.write);
    EXPECT_EQ(500u, again.unwritten);
    EXPECT_EQ(1000u, again.unwrittenAmount);
    EXPECT_FALSE(limiter.failed("Timed out (1 blocks not delivered)", t0 + 19s, 4).write);

    const VornLogLimiter::Run pending = limiter.pending();
    EXPECT_EQ(505u, pending.failures);
    EXPECT_EQ(2u, pending.unwritten);
    EXPECT_EQ(4u, pending.unwrittenAmount);
    const VornLogLimiter::Run run = limiter.succeeded();
    EXPECT_EQ(505u, run.failures);
    EXPECT_EQ(2u, run.unwritten);
    EXPECT_EQ(4u, run.unwrittenAmount);

    EXPECT_EQ(0u, limiter.succeeded().failures);
    EXPECT_TRUE(limiter.failed("Timed out (1 blocks not delivered)", t0 + 20s).write);  // a new run
}

// Many kinds in one run cannot make every failure a new one.
TEST(VornLogLimiter, KindsPastTheBoundCountAsTheLastOne)
{
    VornLogLimiter limiter(10s);
    const Clock::time_point t0 = Clock::now();
    int written = 0;
    for (char c = 'a'; c <= 'z'; ++c)
        written += limiter.failed(std::string("failure ") + c, t0).write ? 1 : 0;
    EXPECT_EQ(static_cast<int>(VornLogLimiter::MAX_KINDS), written);
    EXPECT_EQ(26u - VornLogLimiter::MAX_KINDS, limiter.pending().unwritten);
}

} // namespace
