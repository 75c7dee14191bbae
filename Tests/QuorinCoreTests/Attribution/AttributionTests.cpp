// Whose change it was: the writer's ancestry, the process graph, and which paths a user may have
// attributed to them (256 paths pass through the execution-protection configuration's limits).

#include "QuorinCore/Attribution/AncestryCache.hpp"
#include "QuorinCore/Attribution/AncestryWalker.hpp"
#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"
#include "QuorinCore/Processes/ProcessGraph.hpp"
#include "TestSupport/Samples.hpp"
#include "TestSupport/TableAncestryWalking.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quorin {
namespace {

using namespace std::string_literals;

TEST(AncestryWalkerTest, WalksNearestFirstAndStopsAtCyclesAndEightAncestors) {
    const struct {
        std::map<std::int32_t, std::int32_t> parents;
        std::vector<std::int32_t> ancestry;  // from pid 100
    } cases[] = {
        {{{100, 100}}, {}},
        {{{100, 50}, {50, 10}, {10, 50}}, {50, 10}},
        {{{100, 8}, {8, 7}, {7, 6}, {6, 5}, {5, 4}, {4, 3}, {3, 2}, {2, 1}},
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {{{100, 9}, {9, 8}, {8, 7}, {7, 6}, {6, 5}, {5, 4}, {4, 3}, {3, 2}, {2, 1}},
         {9, 8, 7, 6, 5, 4, 3, 2}},
    };
    for (const auto& c : cases) {
        const testing::TableAncestryWalking walking(c.parents);
        std::vector<AttributionProcess> expected;
        for (const std::int32_t pid : c.ancestry) {
            expected.push_back({pid, "/bin/p" + std::to_string(pid), std::nullopt, std::nullopt});
        }
        EXPECT_EQ(AncestryWalker::walk(100, walking), expected) << c.ancestry.size();
        EXPECT_LE(walking.calls(), static_cast<int>(AncestryWalker::maxAncestors));
    }
}

// Pid 100 writes while the table changes under it: each step sets one process (or ends it), then
// asks `asks` times, and expects the ancestry and the parents asked for (a walk of 100 → 50 → 10
// → 1 asks four times, the last finding none). Every ask looks at the writer once.
TEST(AncestryCacheTest, WalksOncePerProcessAndNeverLendsAnAncestryToAnotherProcess) {
    testing::TableAncestryWalking table({{100, 50}, {50, 10}, {10, 1}});
    AncestryCache cache(table);
    const struct {
        std::int32_t pid;
        std::optional<ProcessStatus> status;  // what `pid` is from this step on
        int asks;
        std::vector<std::int32_t> ancestry;
        int parentsAsked;
    } steps[] = {
        {100, ProcessStatus{0, 50}, 1, {50, 10, 1}, 4},
        {100, ProcessStatus{0, 50}, 1000, {50, 10, 1}, 0},  // a burst
        {100, ProcessStatus{7, 50}, 1, {50, 10, 1}, 4},     // the pid reused, same parent
        {50, ProcessStatus{0, 1}, 1, {50, 10, 1}, 0},       // the grandparent gone: kept
        {100, ProcessStatus{7, 1}, 1, {1}, 2},              // the parent gone: handed to 1
        {100, std::nullopt, 1, {}, 0},                      // exited
        {100, ProcessStatus{7, 1}, 1, {1}, 2},              // so its entry went with it
    };
    int asked = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE("after " + std::to_string(asked) + " asks");
        table.set(step.pid, step.status);
        std::vector<AttributionProcess> expected;
        for (const std::int32_t pid : step.ancestry) {
            expected.push_back({pid, "/bin/p" + std::to_string(pid), std::nullopt, std::nullopt});
        }
        const int before = table.calls();
        for (int ask = 0; ask < step.asks; ++ask) {
            EXPECT_EQ(cache.ancestry(100), expected);
        }
        EXPECT_EQ(table.calls() - before, step.parentsAsked);
        asked += step.asks;
        EXPECT_EQ(table.statuses(), asked);
    }
}

// Writers 1000, 1001, … each with parent 1: at the bound every one is kept; one more drops the
// least recently used, and only it.
TEST(AncestryCacheTest, KeepsItsBoundAndDropsTheLeastRecentlyUsedPastIt) {
    constexpr auto bound = static_cast<std::int32_t>(AncestryCache::maximumCachedProcesses);
    std::map<std::int32_t, std::int32_t> writers;
    for (std::int32_t index = 0; index <= bound; ++index) {
        writers[1000 + index] = 1;
    }
    const testing::TableAncestryWalking table(writers);
    AncestryCache cache(table);
    const struct {
        std::int32_t first, last;  // asked in order, as offsets from 1000
        int walks;
    } rounds[] = {
        {0, bound - 1, bound}, {0, bound - 1, 0}, {bound, bound, 1}, {1, bound, 0}, {0, 0, 1}};
    for (const auto& [first, last, walks] : rounds) {
        const int before = table.calls();
        for (std::int32_t index = first; index <= last; ++index) {
            EXPECT_EQ(cache.ancestry(1000 + index).size(), 1U);
        }
        EXPECT_EQ(table.calls() - before, 2 * walks) << first << "…" << last;
    }
}

TEST(DaemonPathAuthorizationTest, AllowsTheHomeAndSharedRootsWithinTheLimits) {
    const std::string ana = "/Users/ana";
    const struct {
        std::vector<std::string> paths;
        std::string home;
        bool allowed;
    } cases[] = {
        {{ana, "/Users/ana/.zshrc"}, ana, true},
        {{"/Library/LaunchAgents", "/Library/LaunchDaemons", "/usr/local/bin/tool",
          "/opt/homebrew/bin"},
         "/home/bob",
         true},
        {{"/etc/systemd/system/evil.service", "/etc/cron.d", "/home/linuxbrew/.linuxbrew/bin/brew"},
         ana,
         true},
        {{"/etc/cron.daily"}, ana, false},  // only begins with a shared root's text
        {{"/Users/anabel"}, ana, false},
        {{"/x"}, "/", false},
        {{}, "Users/ana", false},
        {{"/Users/ana/"}, ana, false},
        {{"/Users/ana/a\0b"s}, ana, false},
        {{ana + "/" + std::string(4096 - ana.size() - 1, 'x')}, ana, true},
        {{ana + "/" + std::string(4096 - ana.size(), 'x')}, ana, false},
        {std::vector<std::string>(257, ana), ana, false},
        {{ana, "/etc/passwd"}, ana, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(DaemonPathAuthorization::allows(c.paths, c.home), c.allowed)
            << c.paths.size() << " paths, the first " << (c.paths.empty() ? "" : c.paths[0]);
    }
    const struct {
        std::string path;
        std::vector<std::string> paths;
        bool received;
    } receipts[] = {
        {"/a/b", {"/a"}, true},     {"/a", {"/a"}, true},       {"/ab", {"/a"}, false},
        {"/any/path", {"/"}, true}, {"relative", {"/"}, false}, {"/c/d", {"/a", "/c"}, true},
    };
    for (const auto& c : receipts) {
        EXPECT_EQ(DaemonPathAuthorization::receives(c.path, c.paths), c.received) << c.path;
    }
}

// 1 → 2 → 4 (2's responsible process wins over its parent 3) → 1 again; 3's parent 9 is unknown.
TEST(ProcessGraphAncestry, WalksResponsibleBeforeParentAndStopsAtUnknownsAndCycles) {
    const auto id = [](unsigned number) { return ProcessID(testing::numberedUUID(number)); };
    const struct {
        unsigned number, parent, responsible;
    } processes[] = {{1, 2, 0}, {2, 3, 4}, {3, 9, 0}, {4, 1, 0}};
    const CodeSigningIdentity unsigned_{CodeSigningStatus::unsigned_, {}, {}, {}};
    ProcessGraph graph;
    for (const auto& p : processes) {
        graph.register_(
            ProcessIdentity{id(p.number), static_cast<std::int32_t>(p.number), "", id(p.parent),
                            p.responsible ? std::optional(id(p.responsible)) : std::nullopt,
                            testing::normalized("/bin/sh"), std::nullopt, unsigned_, Date{0}});
    }
    EXPECT_EQ(graph.ancestry(id(1)).size(), 3U);
    EXPECT_EQ(graph.root(id(1))->pid, 4);
    EXPECT_EQ(graph.root(id(3))->pid, 3);
    EXPECT_FALSE(graph.root(id(9)));
}

}  // namespace
}  // namespace quorin
