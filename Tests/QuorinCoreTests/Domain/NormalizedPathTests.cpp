#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/LexicalPath.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <unordered_set>

namespace quorin {
namespace {

using testing::failsToDecode;
using Kind = DecodingError::Kind;

TEST(Identifiers, AreDistinctTypesDecodedOnlyFromAnObjectAndHashedByValue) {
    static_assert(!std::is_convertible_v<ProcessID, EventID>);
    static_assert(!std::is_constructible_v<EventID, ProcessID>);
    const EventID id(testing::uuid("9F2C7A4E-1B3D-4C5E-8F60-718293A4B5C6"));
    EXPECT_TRUE(failsToDecode<EventID>(R"("9F2C7A4E-1B3D-4C5E-8F60-718293A4B5C6")",
                                       {Kind::typeMismatch, "<root>", ""}));
    EXPECT_EQ((std::unordered_set<EventID>{id, EventID(id.value)}.size()), 1U);
}

struct NormalizationCase {
    std::string path;
    std::string home;
    std::string expected;
};

TEST(NormalizedPathConstruction, ExpandsHomeAndCanonicalizes) {
    const NormalizationCase cases[] = {
        {"~/.zshrc", "/Users/ana", "/Users/ana/.zshrc"},
        {"~", "/Users/ana", "/Users/ana"},
        {"~/", "/Users/ana", "/Users/ana"},
        {"~", "/Users/ana/", "/Users/ana"},
        {"~//a/../b", "/h", "/h/b"},
        {"~/x", "/home/../root", "/root/x"},
        {"/~/x", "/h", "/~/x"},
        {"/usr//local/./bin/../lib/", "", "/usr/local/lib"},
        {"/..", "", "/"},
        {"//", "", "/"},
        {"/a/b/../../..", "", "/"},
        {"/a/.../..b/.c", "", "/a/.../..b/.c"},
        {"/Tmp/X", "", "/Tmp/X"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizedPath(c.path, c.home).value(), c.expected)
            << c.path << " home " << c.home;
    }
}

TEST(NormalizedPathConstruction, RejectsWhatIsNotAbsoluteAfterExpansion) {
    const NormalizationCase cases[] = {
        {"bin/tool", "/h", ""}, {"", "/h", ""},   {"~ana/x", "/h", ""},
        {"~", "", ""},          {"~/x", "", ""},  {"~/x", "relative/home", ""},
        {"./a", "/h", ""},      {"~~", "/h", ""},
    };
    for (const auto& c : cases) {
        EXPECT_THROW((void)NormalizedPath(c.path, c.home), PathNormalizationError)
            << c.path << " home " << c.home;
    }
}

TEST(NormalizedPathDescendants, AreTextualAndRespectComponentBoundaries) {
    const struct {
        std::string path;
        std::string ancestor;
        bool expected;
    } cases[] = {
        {"/Library/LaunchAgents/x.plist", "/Library/LaunchAgents", true},
        {"/Library/LaunchAgentsOld", "/Library/LaunchAgents", false},
        {"/a/b", "/a/b", true},
        {"/", "/", true},
        {"/anything/at/all", "/", true},
        {"/a", "/a/b", false},
        {"/A/b", "/a", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizedPath(c.path, "").isEqualToOrDescendant(NormalizedPath(c.ancestor, "")),
                  c.expected)
            << c.path << " under " << c.ancestor;
    }
}

TEST(NormalizedPathJSON, DecodesOnlyCanonicalAbsoluteText) {
    EXPECT_EQ(decodeJSONText<NormalizedPath>(R"({"value": "/"})").value(), "/");
    EXPECT_EQ(decodeJSONText<NormalizedPath>(R"({"value": "/a/.b"})").value(), "/a/.b");
    // "relative" and "a/" are not canonical either: absoluteness is checked first.
    for (const std::string value : {"relative", "a/", "", "~/x", "~"}) {
        EXPECT_TRUE(failsToDecode<NormalizedPath>(
            serializeJSON(Json{{"value", value}}),
            {Kind::dataCorrupted, "value", "NormalizedPath requires an absolute path."}))
            << value;
    }
    for (const std::string value : {"/a/../b", "/a/b/", "/a//b", "/a/./b", "//", "/.", "/.."}) {
        EXPECT_TRUE(failsToDecode<NormalizedPath>(
            serializeJSON(Json{{"value", value}}),
            {Kind::dataCorrupted, "value", "NormalizedPath requires a canonical path."}))
            << value;
    }
}

TEST(LexicalPathResolution, ResolvesTargetsAgainstTheLinkDirectory) {
    const struct {
        std::string target;
        std::string directory;
        std::string expected;
    } cases[] = {
        {"../bin/tool", "/usr/local/lib", "/usr/local/bin/tool"},
        {"/opt//x/./y", "/ignored", "/opt/x/y"},
        {"../../../..", "/a", "/"},
        {".", "/usr//lib/", "/usr/lib"},
        {"tool", "relative/dir", "/relative/dir/tool"},
        {"", "/a/b", "/a/b"},
        {"x/", "", "/x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LexicalPath::resolve(c.target, c.directory), c.expected)
            << c.target << " in " << c.directory;
    }
}

}  // namespace
}  // namespace quorin
