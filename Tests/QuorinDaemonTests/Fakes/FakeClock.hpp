#pragma once

// A clock that moves only when the test moves it: ticks are nanoseconds (timebase 1/1) and the
// wall clock advances with them. Safe to read from any thread.

#include "QuorinDaemon/Platform/Clock.hpp"

#include <chrono>
#include <mutex>

namespace quorin::daemon::testing {

class FakeClock final : public Clock {
  public:
    explicit FakeClock(Date now = Date::fromUnixTime(1'800'000'000)) : now_(now) {}

    std::uint64_t absoluteTime() const override {
        const std::lock_guard lock(mutex_);
        return ticks_;
    }
    Timebase timebase() const override { return Timebase(1, 1); }
    Date now() const override {
        const std::lock_guard lock(mutex_);
        return now_;
    }

    void setNow(Date now) {
        const std::lock_guard lock(mutex_);
        now_ = now;
    }

    void advance(std::chrono::nanoseconds duration) {
        const std::lock_guard lock(mutex_);
        ticks_ += static_cast<std::uint64_t>(duration.count());
        now_ = now_.addingTimeInterval(std::chrono::duration<double>(duration).count());
    }

  private:
    mutable std::mutex mutex_;
    std::uint64_t ticks_ = 1'000'000'000;
    Date now_;
};

}  // namespace quorin::daemon::testing
