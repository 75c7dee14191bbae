#pragma once

// A clock that moves only when the test moves it: ticks are nanoseconds (timebase 1/1) and the
// wall clock advances with them from `start`. Safe to read from any thread.

#include "QuorinDaemon/Platform/Clock.hpp"

#include <atomic>
#include <chrono>

namespace quorin::daemon::testing {

class FakeClock final : public Clock {
  public:
    explicit FakeClock(Date start = Date::fromUnixTime(1'800'000'000)) : start_(start) {}

    std::uint64_t absoluteTime() const override { return ticks_; }
    Timebase timebase() const override { return Timebase(1, 1); }
    Date now() const override {
        return start_.addingTimeInterval(static_cast<double>(ticks_ - firstTick) / 1e9);
    }
    void advance(std::chrono::nanoseconds duration) {
        ticks_ += static_cast<std::uint64_t>(duration.count());
    }

  private:
    static constexpr std::uint64_t firstTick = 1'000'000'000;
    const Date start_;
    std::atomic<std::uint64_t> ticks_ = firstTick;
};

}  // namespace quorin::daemon::testing
