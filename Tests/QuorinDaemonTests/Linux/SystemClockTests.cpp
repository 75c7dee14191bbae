#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"

#include <gtest/gtest.h>

#include <time.h>

namespace quorin::daemon {
namespace {

TEST(SystemClockTest, CountsMonotonicNanosecondsAndReadsTheWallClock) {
    const SystemClock clock;
    EXPECT_EQ(clock.timebase(), Timebase(1, 1));
    std::uint64_t previous = clock.absoluteTime();
    for (int read = 0; read < 1000; ++read) {
        const std::uint64_t ticks = clock.absoluteTime();
        EXPECT_GE(ticks, previous);
        previous = ticks;
    }
    const double before = static_cast<double>(::time(nullptr));
    const double now = clock.now().unixTime();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2);
}

}  // namespace
}  // namespace quorin::daemon
