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

std::vector<std::string> orderOf(const ProtectedPathMatcher& matcher) {
    std::vector<std::string> order;
    for (const ProtectedPath& path : matcher.paths()) {
        order.push_back(path.normalizedPath.value());
    }
    return order;
}

TEST(ProtectedPathMatcherTests, theMostSpecificCoveringPathGoverns) {
    const ProtectedPathMatcher matcher({
        protectedPath("/", 1, recursive),
        protectedPath("/etc/hosts", 2, flat),
        protectedPath("/home/ana/.ssh", 3, flat),
        protectedPath("/home/ana", 4, recursive),
        protectedPath("/home/ana/projects/app", 5, recursive),
    });
    const std::pair<std::string_view, int> cases[] = {
        {"/etc/hosts", 2},
        {"/etc/passwd", 1},
        {"/etc/hosts/extra", 1},
        {"/", 1},
        {"/home/ana/.ssh", 3},
        {"/home/ana/.ssh/id_ed25519", 4},
        {"/home/ana", 4},
        {"/home/ana/projects/app", 5},
        {"/home/ana/projects/app/src/main.c", 5},
        {"/home/ana/projects/application", 4},
        {"/home/anabel", 1},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(matchedNumber(matcher, path), expected) << path;
    }
}

TEST(ProtectedPathMatcherTests, matchesNothingOutsideEveryProtectedPath) {
    const ProtectedPathMatcher matcher({
        protectedPath("/home/ana/.ssh", 1, flat),
        protectedPath("/etc", 2, recursive),
    });
    for (const std::string_view path : {"/home/ana/.ssh/id_ed25519", "/home/ana", "/etc2", "/"}) {
        EXPECT_EQ(matchedNumber(matcher, path), std::nullopt) << path;
    }
    EXPECT_EQ(matchedNumber(ProtectedPathMatcher({}), "/"), std::nullopt);
}

TEST(ProtectedPathMatcherTests, keepsTheGivenOrderAmongPathsOfEqualLength) {
    const ProtectedPathMatcher matcher({
        protectedPath("/bb", 1, recursive),
        protectedPath("/a", 2, recursive),
        protectedPath("/cc", 3, recursive),
        protectedPath("/d", 4, recursive),
        protectedPath("/bb", 5, flat),
        protectedPath("/x", 6, flat),
        protectedPath("/x", 7, recursive),
    });
    std::vector<std::string> ids;
    for (const ProtectedPath& path : matcher.paths()) {
        ids.push_back(path.id.value.uuidString().substr(35));
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "3", "5", "2", "4", "6", "7"}));
    EXPECT_EQ(matchedNumber(matcher, "/bb"), 1);
    EXPECT_EQ(matchedNumber(matcher, "/x"), 6);
    EXPECT_EQ(matchedNumber(matcher, "/x/y"), 7);
}

TEST(ProtectedPathMatcherTests, ranksByUserPerceivedCharactersThenBytes) {
    const std::string decomposed = "/e\u0301e\u0301e\u0301";  // 4 characters, 10 bytes
    const std::string family = "/\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 2, 19 bytes
    const std::string precomposedCafe = "/caf\u00E9";                          // 5, 6 bytes
    const std::string decomposedCafe = "/cafe\u0301";                          // 5, 7 bytes
    const ProtectedPathMatcher matcher({
        protectedPath(decomposed, 1, recursive),
        protectedPath(family, 2, recursive),
        protectedPath("/abcde", 3, recursive),
        protectedPath("/ab", 4, recursive),
        protectedPath(precomposedCafe, 5, recursive),
        protectedPath("/abcd", 6, recursive),
        protectedPath(decomposedCafe, 7, recursive),
    });
    EXPECT_EQ(orderOf(matcher), (std::vector<std::string>{"/abcde", decomposedCafe, precomposedCafe,
                                                          "/abcd", decomposed, "/ab", family}));
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
