#include "QuorinCore/Protection/DecisionBudget.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace quorin {
namespace {

using Hold = DecisionBudget::Hold;

TEST(DecisionBudgetTest, LeavesTwoSecondsAndHoldsAtMostFifteen) {
    constexpr std::uint64_t sec = 1'000'000'000, now = 5'000 * sec;
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    const Timebase ns(1, 1), longTicks(std::numeric_limits<std::uint32_t>::max(), 1);
    const struct {
        const char* name;
        std::uint64_t now, deadline;
        Timebase timebase;
        double remainingSeconds;
        std::optional<Hold> hold;
    } cases[] = {
        {"30 s", now, now + 30 * sec, ns, 30, Hold{15, now + 15 * sec}},
        {"2 s and 1 ns", now, now + 2 * sec + 1, ns, 2.000000001, Hold{2.000000001 - 2, now + 1}},
        {"2 s", now, now + 2 * sec, ns, 2, std::nullopt},
        {"far in the past", top, 0, ns, 0, std::nullopt},
        // 15 s = 15,000,000,000 × 3 ÷ 7 = 6,428,571,428.57… ticks, truncated.
        {"7/3 ns", now, now + 100 * sec, Timebase(7, 3), 700.0 / 3, Hold{15, now + 6'428'571'428}},
        {"farthest", 0, top, ns, static_cast<double>(top) / 1e9, Hold{15, 15 * sec}},
        {"farthest, late", top - 20 * sec, top, ns, 20, Hold{15, top - 5 * sec}},
        // One tick is 4.294967295 s, so the 2.29 s granted are 0.53 ticks, truncated to none.
        {"long ticks", now, now + 1, longTicks, 4.294967295, Hold{2.294967295, now}},
    };
    for (const auto& sample : cases) {
        SCOPED_TRACE(sample.name);
        const DecisionBudget budget =
            DecisionBudget::compute(sample.now, sample.deadline, sample.timebase);
        EXPECT_DOUBLE_EQ(budget.remainingSeconds(), sample.remainingSeconds);
        ASSERT_EQ(budget.hold().has_value(), sample.hold.has_value());
        if (sample.hold) {
            EXPECT_DOUBLE_EQ(budget.hold()->timeoutSeconds, sample.hold->timeoutSeconds);
            EXPECT_EQ(budget.hold()->gateDeadline, sample.hold->gateDeadline);
        }
    }
    EXPECT_THROW(Timebase(0, 1), std::invalid_argument);
    EXPECT_THROW(Timebase(1, 0), std::invalid_argument);
}

}  // namespace
}  // namespace quorin
