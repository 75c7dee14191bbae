#include "QuorinCore/Processes/ProcessGraph.hpp"

#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::numberedUUID;

ProcessID pid(unsigned number) {
    return ProcessID(numberedUUID(number));
}

ProcessIdentity process(unsigned number, std::optional<unsigned> parent,
                        std::optional<unsigned> responsible = std::nullopt,
                        const char* executable = "/bin/sh") {
    return ProcessIdentity{
        .id = pid(number),
        .pid = static_cast<std::int32_t>(number),
        .auditToken = "",
        .parentID = parent ? std::optional(pid(*parent)) : std::nullopt,
        .responsibleID = responsible ? std::optional(pid(*responsible)) : std::nullopt,
        .executablePath = NormalizedPath(executable, "/"),
        .executableSHA256 = {},
        .signing = CodeSigningIdentity{CodeSigningStatus::unsigned_, {}, {}, {}},
        .observedAt = Date{0},
    };
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
        {1, {1, 2, 4}}, {2, {2, 4}},    {4, {4}},   {3, {3}},
        {10, {10, 11}}, {11, {11, 10}}, {20, {20}}, {99, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(numbersOf(graph.ancestry(pid(c.from))), c.chain) << c.from;
        const auto root = graph.root(pid(c.from));
        if (c.chain.empty()) {
            EXPECT_FALSE(root.has_value());
        } else {
            ASSERT_TRUE(root.has_value());
            EXPECT_EQ(root->pid, c.chain.back()) << c.from;
        }
    }
}

TEST(ProcessGraphAncestry, EmptyGraphHasNoChainsAndReRegisteringReplaces) {
    ProcessGraph graph;
    EXPECT_TRUE(graph.ancestry(pid(1)).empty());
    EXPECT_EQ(graph.process(pid(1)), nullptr);

    graph.register_(process(1, 2));
    graph.register_(process(2, std::nullopt));
    graph.register_(process(3, std::nullopt));
    graph.register_(process(1, 3, std::nullopt, "/usr/bin/newer"));
    EXPECT_EQ(numbersOf(graph.ancestry(pid(1))), (std::vector<int>{1, 3}));
    EXPECT_EQ(graph.process(pid(1))->executablePath.value(), "/usr/bin/newer");

    const ProcessGraph copy = graph;
    graph.register_(process(1, std::nullopt));
    EXPECT_EQ(numbersOf(copy.ancestry(pid(1))), (std::vector<int>{1, 3}));
}

}  // namespace
}  // namespace quorin
