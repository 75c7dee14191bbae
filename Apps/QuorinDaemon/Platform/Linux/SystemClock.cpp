#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"

#include <time.h>

namespace quorin::daemon {

namespace {

timespec currentTime(clockid_t clock) {
    timespec time{};
    // Both clocks always exist on Linux and `time` is valid, so the call cannot fail.
    clock_gettime(clock, &time);
    return time;
}

}  // namespace

std::uint64_t SystemClock::absoluteTime() const {
    const timespec time = currentTime(CLOCK_MONOTONIC);
    return static_cast<std::uint64_t>(time.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(time.tv_nsec);
}

Date SystemClock::now() const {
    const timespec time = currentTime(CLOCK_REALTIME);
    return Date::fromUnixTime(static_cast<double>(time.tv_sec) +
                              static_cast<double>(time.tv_nsec) / 1e9);
}

}  // namespace quorin::daemon
