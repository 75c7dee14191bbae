#pragma once

#include "QuorinDaemon/Platform/Clock.hpp"

namespace quorin::daemon {

/// The system's clocks: `CLOCK_MONOTONIC` nanoseconds as ticks (so the timebase is 1/1) and
/// `CLOCK_REALTIME` as the wall clock.
class SystemClock final : public Clock {
  public:
    std::uint64_t absoluteTime() const override;
    Timebase timebase() const override { return Timebase(1, 1); }
    Date now() const override;
};

}  // namespace quorin::daemon
