#include "QuorinCore/Protection/DecisionBudget.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {
namespace {

using Hold = DecisionBudget::Hold;

constexpr std::uint64_t billion = 1'000'000'000;
constexpr std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();

TEST(DecisionBudgetTest, LeavesTwoSecondsAndHoldsAtMostFifteen) {
    struct Case {
        std::string name;
        std::uint64_t now;
        std::uint64_t deadline;
        Timebase timebase;
        double remainingSeconds;
        std::optional<Hold> hold;
    };
    const std::uint64_t now = 5'000 * billion;
    const Timebase ns(1, 1);
    // 125/3: one tick is 41⅔ ns, so one second is 24,000,000 ticks.
    const Timebase coarse(125, 3);
    const std::vector<Case> cases{
        {"16.5 s left", now, now + 16'500'000'000, ns, 16.5, Hold{14.5, now + 14'500'000'000}},
        {"30 s left", now, now + 30 * billion, ns, 30, Hold{15, now + 15 * billion}},
        {"2.000000001 s left", now, now + 2 * billion + 1, ns, 2.000000001,
         Hold{2.000000001 - 2, now + 1}},
        {"exactly 2 s left", now, now + 2 * billion, ns, 2, std::nullopt},
        {"the deadline has passed", now, now - 1, ns, 0, std::nullopt},
        {"the deadline is far in the past", maximum, 0, ns, 0, std::nullopt},
        // 16.5 s = 396,000,000 ticks; 14.5 s = 14,500,000,000 × 3 ÷ 125 = 348,000,000 ticks.
        {"16.5 s left in coarse ticks", now, now + 396'000'000, coarse, 16.5,
         Hold{14.5, now + 348'000'000}},
        // 15 s = 15,000,000,000 × 3 ÷ 7 = 6,428,571,428.57… ticks, truncated.
        {"a timebase that does not divide evenly", now, now + 100 * billion, Timebase(7, 3),
         100 * billion * 7.0 / 3 / 1e9, Hold{15, now + 6'428'571'428}},
        {"the farthest deadline", 0, maximum, ns, static_cast<double>(maximum) / 1e9,
         Hold{15, 15 * billion}},
        {"the farthest deadline seen late", maximum - 20 * billion, maximum, ns, 20,
         Hold{15, maximum - 5 * billion}},
        // One tick is 4.294967295 s, so the 2.29 s granted are 0.53 ticks, truncated to none.
        {"a tick longer than the time granted", now, now + 1,
         Timebase(std::numeric_limits<std::uint32_t>::max(), 1), 4.294967295,
         Hold{2.294967295, now}},
    };
    for (const Case& sample : cases) {
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
