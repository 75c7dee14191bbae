#include "QuorinCore/Matching/ProtectedPathMatcher.hpp"

#include "QuorinCore/Support/GraphemeCount.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {
namespace {

using quorin::testing::protectedPath;

constexpr bool flat = false;  // protected paths are recursive unless flat

// The number given to a protected path (see `protectedPath`).
int number(const ProtectedPath& path) {
    return std::stoi(path.id.value.uuidString().substr(24));
}

std::optional<int> matchedNumber(const ProtectedPathMatcher& matcher, std::string_view path) {
    const auto match = matcher.match(quorin::testing::normalized(path));
    return match ? std::optional(number(*match)) : std::nullopt;
}

TEST(ProtectedPathMatcherTests, theMostSpecificCoveringPathGoverns) {
    const ProtectedPathMatcher matcher({
        protectedPath("/", 1),
        protectedPath("/etc/hosts", 2, flat),
        protectedPath("/home/ana/.ssh", 3, flat),
        protectedPath("/home/ana", 4),
        protectedPath("/home/ana/projects/app", 5),
    });
    const struct {
        std::string_view path;
        std::optional<int> expected;
    } cases[] = {{"/etc/hosts", 2},
                 {"/etc/hosts/extra", 1},
                 {"/home/ana", 4},
                 {"/home/ana/.ssh/id_ed25519", 4},
                 {"/home/ana/projects/app/src/main.c", 5},
                 {"/home/ana/projects/application", 4}};
    for (const auto& c : cases) {
        EXPECT_EQ(matchedNumber(matcher, c.path), c.expected) << c.path;
    }
    EXPECT_EQ(matchedNumber(ProtectedPathMatcher({protectedPath("/etc", 1)}), "/etc2"),
              std::nullopt);
}

// Longest first, by user-perceived characters and then bytes; equal lengths in the given order,
// so the first of two equal paths governs the path itself.
TEST(ProtectedPathMatcherTests, ordersLongestFirstAndKeepsTheGivenOrderAmongEqualLengths) {
    const ProtectedPathMatcher matcher({
        protectedPath("/x", 1, flat),
        protectedPath("/\U0001F468\u200D\U0001F469\u200D\U0001F467", 2),  // 2, 19 bytes
        protectedPath("/ab", 3),
        protectedPath("/caf\u00E9", 4),  // 5 characters, 6 bytes
        protectedPath("/abcd", 5),
        protectedPath("/cafe\u0301", 6),  // 5 characters, 7 bytes
        protectedPath("/x", 7),
    });
    std::vector<int> order;
    for (const ProtectedPath& path : matcher.paths()) {
        order.push_back(number(path));
    }
    EXPECT_EQ(order, (std::vector<int>{6, 4, 5, 3, 2, 1, 7}));
    EXPECT_EQ(matchedNumber(matcher, "/x"), 1);
    EXPECT_EQ(matchedNumber(matcher, "/x/y"), 7);
    // A component of combining marks alone merges with the "/" before it, so this descendant is
    // no longer in characters than its ancestor; the more specific path must still win.
    GraphemeCounter counter;
    ASSERT_EQ(counter.count("/"), counter.count("/\u0301"));
    const ProtectedPathMatcher marks({protectedPath("/", 1), protectedPath("/\u0301", 2)});
    EXPECT_EQ(matchedNumber(marks, "/\u0301/file"), 2);
    EXPECT_EQ(matchedNumber(marks, "/other"), 1);
}

// The matcher looks up a path and its ancestors; it must find what trying every protected path in
// matching order finds. Random trees of few names give equal, nested and duplicate paths.
TEST(ProtectedPathMatcherTests, findsWhatTryingEveryPathInOrderFinds) {
    std::mt19937 random(7);
    const std::string_view names[] = {"a", "b", "\u00E9", "e\u0301", "a b"};
    const auto randomPath = [&] {
        std::string path;
        for (auto depth = random() % 5; depth > 0; --depth) {
            path += "/" + std::string(names[random() % std::size(names)]);
        }
        return path.empty() ? std::string("/") : path;
    };
    for (int round = 0; round < 20; ++round) {
        std::vector<ProtectedPath> paths;
        for (unsigned number = 1; number <= 12; ++number) {
            paths.push_back(protectedPath(randomPath(), number, random() % 2 == 0));
        }
        const ProtectedPathMatcher matcher(paths);
        for (int query = 0; query < 200; ++query) {
            const NormalizedPath path = quorin::testing::normalized(randomPath());
            const auto expected = std::find_if(
                matcher.paths().begin(), matcher.paths().end(), [&](const ProtectedPath& each) {
                    return each.recursive ? path.isEqualToOrDescendant(each.normalizedPath)
                                          : path == each.normalizedPath;
                });
            const auto match = matcher.match(path);
            EXPECT_EQ(
                match ? std::optional(number(*match)) : std::nullopt,
                expected == matcher.paths().end() ? std::nullopt : std::optional(number(*expected)))
                << path.value();
        }
    }
}

}  // namespace
}  // namespace quorin
