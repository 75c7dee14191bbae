#include "QuorinCore/Protection/DecisionBudget.hpp"

#include <algorithm>

namespace quorin {

namespace {

constexpr double nanosecondsPerSecond = 1e9;

}  // namespace

DecisionBudget DecisionBudget::compute(std::uint64_t now, std::uint64_t deadline,
                                       Timebase timebase) {
    const double numerator = timebase.numerator();
    const double denominator = timebase.denominator();
    const std::uint64_t ticksLeft = deadline > now ? deadline - now : 0;
    const double remaining =
        static_cast<double>(ticksLeft) * numerator / denominator / nanosecondsPerSecond;
    const double timeout =
        std::max(std::min(remaining - answerReserveSeconds, maximumTimeoutSeconds), 0.0);
    if (timeout <= 0.0) {
        return DecisionBudget(remaining, std::nullopt);
    }
    // Converted back to ticks truncated toward zero. In exact arithmetic these ticks stay below
    // `ticksLeft`; rounding in the double round trip could push them past it, and near the end
    // of the tick range the sum would wrap. Comparing before the integer conversion keeps the
    // conversion in range and the gate deadline at or before the operating system's, whatever
    // the timebase or however far away the deadline.
    const double timeoutTicks = timeout * nanosecondsPerSecond * denominator / numerator;
    const std::uint64_t gateDeadline = timeoutTicks >= static_cast<double>(ticksLeft)
                                           ? deadline
                                           : now + static_cast<std::uint64_t>(timeoutTicks);
    return DecisionBudget(remaining, Hold{timeout, gateDeadline});
}

}  // namespace quorin
