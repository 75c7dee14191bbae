#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>

namespace quorin {

/// How a monotonic clock's ticks convert to nanoseconds: ticks × numerator ÷ denominator. Both
/// are positive; a zero would turn every conversion into a division by zero.
class Timebase {
  public:
    constexpr Timebase(std::uint32_t numerator, std::uint32_t denominator)
        : numerator_(numerator), denominator_(denominator) {
        if (numerator == 0 || denominator == 0) {
            throw std::invalid_argument(
                "A clock timebase needs a positive numerator and "
                "denominator.");
        }
    }

    constexpr std::uint32_t numerator() const { return numerator_; }
    constexpr std::uint32_t denominator() const { return denominator_; }

    friend constexpr bool operator==(const Timebase&, const Timebase&) = default;

  private:
    std::uint32_t numerator_;
    std::uint32_t denominator_;
};

/// How long a held exec may wait for the user, derived from the operating system's deadline for
/// its answer. Two seconds are always kept to deliver the answer and no exec is held longer than
/// 15 seconds. When that leaves no time, there is no `hold()`: the message must be answered at
/// once ("Blocked: insufficient decision time"), so a gate deadline cannot be used by mistake.
class DecisionBudget {
  public:
    /// Time kept back to deliver the answer before the operating system's deadline.
    static constexpr double answerReserveSeconds = 2.0;
    /// The longest an exec is ever held.
    static constexpr double maximumTimeoutSeconds = 15.0;

    /// The time granted to a held exec.
    struct Hold {
        double timeoutSeconds;       // in (0, 15]: when the expiry timer fires
        std::uint64_t gateDeadline;  // ticks: approvals count strictly before this

        friend bool operator==(const Hold&, const Hold&) = default;
    };

    /// The budget at tick `now` for a message the operating system needs answered by tick
    /// `deadline`, both counted by a clock with `timebase`.
    static DecisionBudget compute(std::uint64_t now, std::uint64_t deadline, Timebase timebase);

    /// Seconds left before the operating system's deadline; 0 when it is not after `now`.
    double remainingSeconds() const { return remainingSeconds_; }

    /// The time granted, or nothing when the exec must be blocked at once.
    const std::optional<Hold>& hold() const { return hold_; }

  private:
    DecisionBudget(double remainingSeconds, std::optional<Hold> hold)
        : remainingSeconds_(remainingSeconds), hold_(hold) {}

    double remainingSeconds_;
    std::optional<Hold> hold_;
};

}  // namespace quorin
