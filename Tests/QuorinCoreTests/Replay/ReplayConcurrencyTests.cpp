// The work that a large fixture splits between two threads: halves join in order, the first
// half's fault wins, and a long fixture is read through every split. The ThreadSanitizer build runs
// this file.

#include "QuorinCore/Replay/ReplayAnalyzer.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Support/SideBySide.hpp"
#include "TestSupport/ReplaySamples.hpp"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using testing::replayEvent;
using testing::replayHome;
using testing::replayProcess;
using testing::replayProtectedPath;

TEST(SideBySideConcurrency, HalvesJoinInOrderAndTheFirstFaultInOrderWins) {
    constexpr std::size_t count = 10'001;
    const auto mapped = mappedInHalves(
        count, [](std::size_t index, bool inSecondHalf) { return std::pair(index, inSecondHalf); });
    ASSERT_EQ(mapped.size(), count);
    bool inOrder = true;
    for (std::size_t index = 0; index < count; ++index) {
        inOrder = inOrder && mapped[index] == std::pair(index, index >= count / 2);
    }
    EXPECT_TRUE(inOrder);
    const std::pair<std::set<std::size_t>, std::string> cases[] = {
        {{7'000}, "7000"}, {{3, 7'000}, "3"}, {{7'000, 9'000}, "7000"}, {{4'999, 5'000}, "4999"}};
    for (const auto& [faultList, first] : cases) {
        const std::set<std::size_t>& faults = faultList;  // a lambda cannot capture a binding
        std::string thrown = "none";
        try {
            (void)mappedInHalves(count, [&](std::size_t index, bool) {
                if (faults.contains(index)) {
                    throw std::runtime_error(std::to_string(index));
                }
                return index;
            });
        } catch (const std::runtime_error& error) {
            thrown = error.what();
        }
        EXPECT_EQ(thrown, first);
    }
}

// 4,096 events in more than 1 MiB, for the race detector: the validator beside the decoding, the
// events decoded, checked and built in halves (ReplayFixtureTests compares what the halves give
// with one pass).
TEST(SideBySideConcurrency, ALongFixtureIsReadAndCheckedInHalves) {
    std::vector<ReplayEvent> events;
    for (unsigned number = 1; number <= 4'096; ++number) {
        events.push_back(replayEvent(10'000 + number, number, number,
                                     "~/notes/" + std::to_string(number % 300), 1));
        events.back().referencedExecutables = {"~/bin/tool-" + std::to_string(number % 7),
                                               "/usr/bin/env"};
    }
    const ReplayFixture fixture = testing::replayFixture({replayProtectedPath(2, "~/notes")},
                                                         {replayProcess(1)}, std::move(events));
    const std::string text = serializeJSON(fixture.toJSON());
    ASSERT_GT(text.size(), std::size_t{1} << 20);

    const MaterializedReplayFixture materialized =
        ReplayFixture::decode(text).materialize(replayHome);
    ASSERT_EQ(materialized.events().size(), 4'096U);
    EXPECT_EQ(materialized.events().back().referencedExecutables().front().value(),
              "/Users/ana/bin/tool-1");
    EXPECT_EQ(ReplayAnalyzer().analyze(materialized).incidents.size(), 1U);
}

}  // namespace
}  // namespace quorin
