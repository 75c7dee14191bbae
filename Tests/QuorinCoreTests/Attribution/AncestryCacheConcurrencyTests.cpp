// The ancestry cache asked from several threads at once, past its bound, so that entries are
// found, walked, replaced and dropped side by side.

#include "QuorinCore/Attribution/AncestryCache.hpp"
#include "TestSupport/TableAncestryWalking.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace quorin {
namespace {

// Writers 1 to 50 past the bound, each with parent 100,000 above its pid; four threads ask for
// them in turn from different places, and each answer is the writer's own parent.
TEST(AncestryCacheConcurrencyTest, EachAnswerIsTheWritersOwnWhileThreadsShareTheCache) {
    constexpr auto writers = static_cast<std::int32_t>(AncestryCache::maximumCachedProcesses) + 50;
    std::map<std::int32_t, std::int32_t> parents;
    for (std::int32_t pid = 1; pid <= writers; ++pid) {
        parents[pid] = pid + 100'000;
    }
    const testing::TableAncestryWalking table(parents);
    AncestryCache cache(table);
    {
        std::vector<std::jthread> threads;
        for (std::int32_t thread = 0; thread < 4; ++thread) {
            threads.emplace_back([&cache, thread] {
                for (std::int32_t ask = 0; ask < 2'000; ++ask) {
                    const std::int32_t pid = 1 + (ask * (thread + 1) + thread * 37) % writers;
                    const std::vector<AttributionProcess> ancestry = cache.ancestry(pid);
                    ASSERT_EQ(ancestry.size(), 1U) << pid;
                    EXPECT_EQ(ancestry[0].executablePath, "/bin/p" + std::to_string(pid + 100'000));
                }
            });
        }
    }
    EXPECT_EQ(table.statuses(), 4 * 2'000);
}

}  // namespace
}  // namespace quorin
