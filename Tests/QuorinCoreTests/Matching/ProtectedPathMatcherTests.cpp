#include "QuorinCore/Matching/ProtectedPathMatcher.hpp"

#include "QuorinCore/Support/GraphemeCount.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using quorin::testing::protectedPath;

constexpr bool recursive = true;
constexpr bool flat = false;

// The number given to the matching protected path (see `protectedPath`), or nothing.
std::optional<int> matchedNumber(const ProtectedPathMatcher& matcher, std::string_view path) {
    const auto match = matcher.match(quorin::testing::normalized(path));
    if (!match) {
        return std::nullopt;
    }
    return std::stoi(match->id.value.uuidString().substr(24));
}

std::vector<int> numbersInOrder(const ProtectedPathMatcher& matcher) {
    std::vector<int> numbers;
    for (const ProtectedPath& path : matcher.paths()) {
        numbers.push_back(std::stoi(path.id.value.uuidString().substr(24)));
    }
    return numbers;
}

TEST(ProtectedPathMatcherTests, theMostSpecificCoveringPathGoverns) {
    const ProtectedPathMatcher matcher({
        protectedPath("/", 1, recursive),
        protectedPath("/etc/hosts", 2, flat),
        protectedPath("/home/ana/.ssh", 3, flat),
        protectedPath("/home/ana", 4, recursive),
        protectedPath("/home/ana/projects/app", 5, recursive),
    });
    const ProtectedPathMatcher withoutRoot(
        {protectedPath("/home/ana/.ssh", 1, flat), protectedPath("/etc", 2, recursive)});
    const struct {
        const ProtectedPathMatcher& matcher;
        std::string_view path;
        std::optional<int> expected;
    } cases[] = {
        {matcher, "/etc/hosts", 2},
        {matcher, "/etc/passwd", 1},
        {matcher, "/etc/hosts/extra", 1},
        {matcher, "/", 1},
        {matcher, "/home/ana/.ssh", 3},
        {matcher, "/home/ana/.ssh/id_ed25519", 4},
        {matcher, "/home/ana", 4},
        {matcher, "/home/ana/projects/app/src/main.c", 5},
        {matcher, "/home/ana/projects/application", 4},
        {matcher, "/home/anabel", 1},
        {withoutRoot, "/home/ana/.ssh/id_ed25519", std::nullopt},
        {withoutRoot, "/etc2", std::nullopt},
        {withoutRoot, "/", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matchedNumber(c.matcher, c.path), c.expected) << c.path;
    }
    EXPECT_EQ(matchedNumber(ProtectedPathMatcher({}), "/"), std::nullopt);
}

// Longest first, by user-perceived characters and then bytes; equal lengths in the given order.
TEST(ProtectedPathMatcherTests, ordersLongestFirstAndKeepsTheGivenOrderAmongEqualLengths) {
    const ProtectedPathMatcher equal({
        protectedPath("/bb", 1, recursive),
        protectedPath("/a", 2, recursive),
        protectedPath("/cc", 3, recursive),
        protectedPath("/d", 4, recursive),
        protectedPath("/bb", 5, flat),
        protectedPath("/x", 6, flat),
        protectedPath("/x", 7, recursive),
    });
    EXPECT_EQ(numbersInOrder(equal), (std::vector<int>{1, 3, 5, 2, 4, 6, 7}));
    EXPECT_EQ(matchedNumber(equal, "/bb"), 1);
    EXPECT_EQ(matchedNumber(equal, "/x"), 6);
    EXPECT_EQ(matchedNumber(equal, "/x/y"), 7);
    const ProtectedPathMatcher graphemes({
        protectedPath("/e\u0301e\u0301e\u0301", 1, recursive),  // 4 characters, 10 bytes
        protectedPath("/\U0001F468\u200D\U0001F469\u200D\U0001F467", 2, recursive),  // 2, 19
        protectedPath("/abcde", 3, recursive), protectedPath("/ab", 4, recursive),
        protectedPath("/caf\u00E9", 5, recursive),  // 5 characters, 6 bytes
        protectedPath("/abcd", 6, recursive),
        protectedPath("/cafe\u0301", 7, recursive),  // 5 characters, 7 bytes
    });
    EXPECT_EQ(numbersInOrder(graphemes), (std::vector<int>{3, 7, 5, 6, 1, 4, 2}));
}

TEST(ProtectedPathMatcherTests, aDescendantOfEqualCharacterLengthStillGoverns) {
    // A component of combining marks alone merges with the "/" before it, and a prepended mark
    // merges with the "/" after it, so these descendants are no longer in characters than
    // their ancestors; the more specific path must still win.
    const std::pair<std::string, std::string> cases[] = {
        {"/", "/\u0301"},
        {"/a\u0600", "/a\u0600/\u0301\u0301"},
    };
    for (const auto& [ancestor, descendant] : cases) {
        SCOPED_TRACE(descendant);
        ASSERT_EQ(graphemeClusterCount(ancestor), graphemeClusterCount(descendant));
        const ProtectedPathMatcher matcher({
            protectedPath(ancestor, 1, recursive),
            protectedPath(descendant, 2, recursive),
        });
        EXPECT_EQ(matchedNumber(matcher, descendant), 2);
        EXPECT_EQ(matchedNumber(matcher, descendant + "/file"), 2);
        EXPECT_EQ(matchedNumber(matcher, ancestor + "/other"), 1);
    }
}

}  // namespace
}  // namespace quorin
