#include "platform/MsClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace vx4;

TEST(MsClock, CountsMillisecondsOfASleep)
{
    const std::uint32_t a = MsClock();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const std::uint32_t b = MsClock();
    const std::uint32_t elapsed = b - a;
    EXPECT_GE(elapsed, 120u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(MsClock, StartsNearProgramStart)
{
    // The program has run for seconds at most: the count is small, not an uptime.
    EXPECT_LT(MsClock(), 10u * 60u * 1000u);
}

TEST(MsClock, NeverGoesBack)
{
    std::uint32_t last = MsClock();
    for (int i = 0; i < 10000; ++i) {
        const std::uint32_t now = MsClock();
        ASSERT_LT(now - last, 1000u); // an unsigned difference stays small: no step back
        last = now;
    }
}
