#include "QuorinCore/Attribution/AncestryWalker.hpp"

#include "TestSupport/TableAncestryWalking.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::TableAncestryWalking;

std::vector<std::int32_t> pids(const std::vector<AttributionProcess>& ancestry) {
    std::vector<std::int32_t> result;
    for (const AttributionProcess& process : ancestry) {
        result.push_back(process.pid);
        EXPECT_EQ(process.executablePath, "/bin/p" + std::to_string(process.pid));
        EXPECT_FALSE(process.signingID || process.teamID);
    }
    return result;
}

TEST(AncestryWalkerTest, WalksNearestFirstAndStops) {
    struct Case {
        std::string name;
        std::map<std::int32_t, std::int32_t> parents;
        std::vector<std::int32_t> ancestry;  // from pid 100
    };
    const std::vector<Case> cases{
        {"no parent", {}, {}},
        {"three ancestors", {{100, 50}, {50, 10}, {10, 1}}, {50, 10, 1}},
        {"the parent is the start", {{100, 100}}, {}},
        {"a cycle back to the start", {{100, 50}, {50, 100}}, {50}},
        {"a cycle further up", {{100, 50}, {50, 10}, {10, 50}}, {50, 10}},
        {"exactly eight",
         {{100, 8}, {8, 7}, {7, 6}, {6, 5}, {5, 4}, {4, 3}, {3, 2}, {2, 1}},
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {"cut after eight",
         {{100, 9}, {9, 8}, {8, 7}, {7, 6}, {6, 5}, {5, 4}, {4, 3}, {3, 2}, {2, 1}},
         {9, 8, 7, 6, 5, 4, 3, 2}},
    };
    for (const Case& sample : cases) {
        const TableAncestryWalking walking(sample.parents);
        EXPECT_EQ(pids(AncestryWalker::walk(100, walking)), sample.ancestry) << sample.name;
        EXPECT_LE(walking.calls(), static_cast<int>(AncestryWalker::maxAncestors)) << sample.name;
    }
}

}  // namespace
}  // namespace quorin
