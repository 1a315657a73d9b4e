// Deadlines on the monotonic clock, checked at chosen instants (no waiting).

#include "Korvo/HardwareAPI/IO/Deadline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using Korvo::HardwareAPI::IO::Deadline;
using namespace std::chrono_literals;

class NoLimit : public ::testing::TestWithParam<float> {};

TEST_P(NoLimit, NeverPasses) {
    const Deadline::Clock::time_point start{};
    const Deadline deadline(GetParam(), start);
    EXPECT_TRUE(deadline.Unlimited());
    EXPECT_FALSE(deadline.Passed(start + std::chrono::hours(24 * 365 * 50)));
}

INSTANTIATE_TEST_SUITE_P(Limits, NoLimit,
                         ::testing::Values(0.0f, -0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                                           std::numeric_limits<float>::infinity(), 1e30f));

struct Window {
    float seconds;
    std::chrono::nanoseconds before, after;
};

class Limit : public ::testing::TestWithParam<Window> {};

TEST_P(Limit, PassesJustAfterItsEnd) {
    // A start far from the clock's origin, as on a machine that has been up
    // for two months: the limit must still be exact to the microsecond.
    const Deadline::Clock::time_point start{std::chrono::hours(24 * 60)};
    const auto& w = GetParam();
    const Deadline deadline(w.seconds, start);
    EXPECT_FALSE(deadline.Unlimited());
    EXPECT_FALSE(deadline.Passed(start));
    EXPECT_FALSE(deadline.Passed(start + w.before));
    EXPECT_TRUE(deadline.Passed(start + w.after));
}

INSTANTIATE_TEST_SUITE_P(Limits, Limit,
                         ::testing::Values(Window{0.001f, 999us, 1001us}, Window{0.05f, 49'999us, 50'001us},
                                           Window{5.0f, 4'999'999us, 5'000'001us},
                                           Window{3600.0f, 3'599'999'999us, 3'600'000'001us}));

TEST(Deadline, TakesTheStartFromTheClockByDefault) {
    const Deadline deadline(3600.0f);
    EXPECT_FALSE(deadline.Passed());
    EXPECT_TRUE(deadline.Passed(Deadline::Clock::now() + std::chrono::hours(2)));
}

}  // namespace
