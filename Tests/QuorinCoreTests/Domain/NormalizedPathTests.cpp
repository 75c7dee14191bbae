#include "QuorinCore/Domain/LexicalPath.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorin {
namespace {

using testing::failsToDecode;
using Kind = DecodingError::Kind;

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
        {"/usr//local/./bin/../lib/", "", "/usr/local/lib"},
        {"/..", "", "/"},
        {"/", "", "/"},
        {"//", "", "/"},
        {"/a/b/../../..", "", "/"},
        {"/a/.../b", "", "/a/.../b"},
        {"/a/..b/.c", "", "/a/..b/.c"},
        {"/Tmp/X", "", "/Tmp/X"},
        {"/~/x", "/h", "/~/x"},
        {"~/x", "/home/../root", "/root/x"},
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
        try {
            (void)NormalizedPath(c.path, c.home);
            ADD_FAILURE() << "accepted " << c.path;
        } catch (const PathNormalizationError& error) {
            EXPECT_EQ(error.kind(), PathNormalizationError::Kind::relativePath);
        }
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
        {"/a/bc", "/a/b", false},
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
    for (const std::string value : {"relative", "", "~/x", "~"}) {
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
    EXPECT_TRUE(failsToDecode<NormalizedPath>(R"("/a")", {Kind::typeMismatch, "<root>", ""}));
    EXPECT_TRUE(failsToDecode<NormalizedPath>("{}", {Kind::keyNotFound, "value", ""}));
}

TEST(NormalizedPathJSON, RoundTripsAndKeepsTheTextAsIs) {
    for (const std::string path : {"/", "/Users/ana/.zshrc", "/a b/ü/日本", "/x/..y"}) {
        const NormalizedPath value(path, "/h");
        EXPECT_EQ(encodeJSONText(value), serializeJSON(Json{{"value", path}}));
        EXPECT_EQ(testing::roundTrip(value), value);
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
