// Whose change it was: the writer's ancestry, the process graph, and which paths a user may have
// attributed to them.

#include "QuorinCore/Attribution/AncestryWalker.hpp"
#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"
#include "QuorinCore/Processes/ProcessGraph.hpp"
#include "TestSupport/Samples.hpp"
#include "TestSupport/TableAncestryWalking.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using namespace std::string_literals;
using testing::numberedUUID;

TEST(AncestryWalkerTest, WalksNearestFirstAndStopsAtCyclesAndEightAncestors) {
    const struct {
        std::string name;
        std::map<std::int32_t, std::int32_t> parents;
        std::vector<std::int32_t> ancestry;  // from pid 100
    } cases[] = {
        {"no parent", {}, {}},
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
    for (const auto& c : cases) {
        const testing::TableAncestryWalking walking(c.parents);
        std::vector<AttributionProcess> expected;
        for (const std::int32_t pid : c.ancestry) {
            expected.push_back({pid, "/bin/p" + std::to_string(pid), std::nullopt, std::nullopt});
        }
        EXPECT_EQ(AncestryWalker::walk(100, walking), expected) << c.name;
        EXPECT_LE(walking.calls(), static_cast<int>(AncestryWalker::maxAncestors)) << c.name;
    }
}

TEST(DaemonPathAuthorizationTest, AllowsTheHomeAndSharedRootsWithinTheLimits) {
    const std::string ana = "/Users/ana";
    const struct {
        std::string name;
        std::vector<std::string> paths;
        std::string home;
        bool allowed;
    } cases[] = {
        {"an empty list", {}, ana, true},
        {"the home and inside it", {ana, "/Users/ana/.zshrc"}, ana, true},
        {"every shared root",
         {"/Library/LaunchAgents", "/Library/LaunchDaemons", "/usr/local/bin/tool",
          "/opt/homebrew/bin"},
         "/home/bob",
         true},
        {"another home", {"/Users/bob/.zshrc"}, ana, false},
        {"a sibling of the home", {"/Users/anabel"}, ana, false},
        {"a sibling of a shared root", {"/Library/LaunchAgentsX"}, "/home/bob", false},
        {"the root", {"/"}, ana, false},
        {"a home of /", {"/x"}, "/", false},
        {"a relative home", {}, "Users/ana", false},
        {"a path with a tilde", {"~/.zshrc"}, ana, false},
        {"a path with ..", {"/Users/ana/../bob"}, ana, false},
        {"a trailing separator", {"/Users/ana/"}, ana, false},
        {"a doubled separator", {"/Users/ana//x"}, ana, false},
        {"a NUL", {"/Users/ana/a\0b"s}, ana, false},
        {"4,096 bytes", {ana + "/" + std::string(4096 - ana.size() - 1, 'x')}, ana, true},
        {"4,097 bytes", {ana + "/" + std::string(4096 - ana.size(), 'x')}, ana, false},
        {"256 paths", std::vector<std::string>(256, ana), ana, true},
        {"257 paths", std::vector<std::string>(257, ana), ana, false},
        {"one bad path among good ones", {ana, "/etc/passwd"}, ana, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DaemonPathAuthorization::allows(c.paths, c.home), c.allowed) << c.name;
    }
    const struct {
        std::string path;
        std::vector<std::string> paths;
        bool received;
    } receipts[] = {
        {"/a/b", {"/a"}, true},  {"/a", {"/a"}, true},         {"/ab", {"/a"}, false},
        {"/a", {"/a/b"}, false}, {"/any/path", {"/"}, true},   {"relative", {"/"}, false},
        {"/a/b", {}, false},     {"/c/d", {"/a", "/c"}, true},
    };
    for (const auto& c : receipts) {
        EXPECT_EQ(DaemonPathAuthorization::receives(c.path, c.paths), c.received) << c.path;
    }
}

ProcessID pid(unsigned number) {
    return ProcessID(numberedUUID(number));
}

ProcessIdentity process(unsigned number, std::optional<unsigned> parent,
                        std::optional<unsigned> responsible = std::nullopt,
                        const char* executable = "/bin/sh") {
    return ProcessIdentity{pid(number),
                           static_cast<std::int32_t>(number),
                           "",
                           parent ? std::optional(pid(*parent)) : std::nullopt,
                           responsible ? std::optional(pid(*responsible)) : std::nullopt,
                           NormalizedPath(executable, "/"),
                           {},
                           CodeSigningIdentity{CodeSigningStatus::unsigned_, {}, {}, {}},
                           Date{0}};
}

std::vector<int> numbersOf(const std::vector<ProcessIdentity>& chain) {
    std::vector<int> numbers;
    for (const ProcessIdentity& p : chain) {
        numbers.push_back(p.pid);
    }
    return numbers;
}

TEST(ProcessGraphAncestry, WalksResponsibleBeforeParentAndStopsAtUnknownsAndCycles) {
    ProcessGraph graph;
    EXPECT_TRUE(graph.ancestry(pid(1)).empty());
    EXPECT_EQ(graph.process(pid(1)), nullptr);
    graph.register_(process(1, 2));             // 1 → 2 (parent)
    graph.register_(process(2, 3, 4));          // 2 → 4 (responsible wins over parent 3)
    graph.register_(process(3, std::nullopt));  // never reached from 1
    graph.register_(process(4, 99));            // 99 is never registered
    graph.register_(process(10, 11));           // 10 → 11 → 10 (cycle by parent)
    graph.register_(process(11, 10));
    graph.register_(process(20, 20));  // its own parent
    const struct {
        unsigned from;
        std::vector<int> chain;
    } cases[] = {
        {1, {1, 2, 4}}, {3, {3}}, {10, {10, 11}}, {11, {11, 10}}, {20, {20}}, {99, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(numbersOf(graph.ancestry(pid(c.from))), c.chain) << c.from;
        const auto root = graph.root(pid(c.from));
        EXPECT_EQ(root ? std::optional(root->pid) : std::nullopt,
                  c.chain.empty() ? std::nullopt : std::optional(c.chain.back()))
            << c.from;
    }
    // Registering again replaces, and copies keep what they had.
    const ProcessGraph copy = graph;
    graph.register_(process(1, 3, std::nullopt, "/usr/bin/newer"));
    EXPECT_EQ(numbersOf(graph.ancestry(pid(1))), (std::vector<int>{1, 3}));
    EXPECT_EQ(graph.process(pid(1))->executablePath.value(), "/usr/bin/newer");
    EXPECT_EQ(numbersOf(copy.ancestry(pid(1))), (std::vector<int>{1, 2, 4}));
}

}  // namespace
}  // namespace quorin
