#pragma once

#include "QuorinCore/Protection/DecisionBudget.hpp"
#include "QuorinCore/Support/Date.hpp"

#include <cstdint>

namespace quorin::daemon {

/// The daemon's two clocks: a monotonic tick count, in which the operating system states the
/// deadline of an exec message and approval gates measure theirs, with the timebase that turns
/// ticks into nanoseconds; and the wall clock, for the deadlines shown to the user and the time
/// stamps of records. Called from any thread.
class Clock {
  public:
    virtual ~Clock() = default;

    /// The current monotonic tick count; never goes backwards.
    virtual std::uint64_t absoluteTime() const = 0;
    virtual Timebase timebase() const = 0;
    /// The current wall-clock time.
    virtual Date now() const = 0;
};

}  // namespace quorin::daemon
