#include "QuorinCore/Domain/WatchList.hpp"

#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {
namespace {

using quorin::testing::failsToDecode;
using quorin::testing::protectedPath;
using quorin::testing::roundTrip;
using quorin::testing::uuid;
using Kind = DecodingError::Kind;
using Rejection = WatchList::AdditionRejection;

WatchListEntry entry(ProtectedPath path, bool enabled, bool isDefault = false) {
    return WatchListEntry{
        .protectedPath = std::move(path), .enabled = enabled, .isDefault = isDefault};
}

NormalizedPath normalized(std::string_view path) {
    return NormalizedPath(path, "/home/ana");
}

// MARK: - JSON

const WatchListEntry sshEntry =
    entry(protectedPath("/home/ana/.ssh", 7, true, PathCategory::ssh), false, true);

constexpr std::string_view sshEntryJSON =
    R"({"protectedPath":{"id":{"value":"00000000-0000-4000-8000-000000000007"},)"
    R"("configuredPath":"/home/ana/.ssh","normalizedPath":{"value":"/home/ana/.ssh"},)"
    R"("category":"ssh","recursive":true,"contentPolicy":"metadataOnly"},)"
    R"("enabled":false,"isDefault":true})";

TEST(WatchListEntryTests, encodesItsFieldsInOrder) {
    EXPECT_EQ(encodeJSONText(sshEntry), sshEntryJSON);
    EXPECT_EQ(decodeJSONText<WatchListEntry>(sshEntryJSON), sshEntry);
    const auto enabled = entry(protectedPath("/etc/hosts", 8, false), true, false);
    EXPECT_EQ(roundTrip(enabled), enabled);
}

TEST(WatchListEntryTests, requiresEveryKeyAndReportsNestedErrorsByTheirFullPath) {
    for (const std::string key : {"protectedPath", "enabled", "isDefault"}) {
        Json json = Json::parse(sshEntryJSON);
        json.erase(key);
        EXPECT_TRUE(failsToDecode<WatchListEntry>(
            serializeJSON(json),
            {Kind::keyNotFound, key, "No value associated with key \"" + key + "\"."}))
            << key;
    }
    Json wrongCase = Json::parse(sshEntryJSON);
    wrongCase["protectedPath"]["category"] = "SSH";
    EXPECT_TRUE(failsToDecode<WatchListEntry>(
        serializeJSON(wrongCase), {Kind::dataCorrupted, "protectedPath.category",
                                   "Cannot initialize PathCategory from invalid value \"SSH\"."}));
}

// MARK: - Restoring defaults

TEST(WatchListRestoringDefaultsTests, anEmptyListGetsOneEnabledDefaultEntryPerDefault) {
    const std::vector defaults{protectedPath("~/.zshrc", 1, false, PathCategory::shellStartup),
                               protectedPath("~/.ssh", 2, true, PathCategory::ssh)};
    EXPECT_EQ(WatchList::restoringDefaults({}, defaults),
              (std::vector{entry(defaults[0], true, true), entry(defaults[1], true, true)}));
    EXPECT_TRUE(WatchList::restoringDefaults({}, {}).empty());
}

TEST(WatchListRestoringDefaultsTests, anExistingEntryTakesItsDefaultsPlaceEnabledButOtherwiseKept) {
    const auto zshrc = protectedPath("~/.zshrc", 1, false, PathCategory::shellStartup);
    const auto ssh = protectedPath("~/.ssh", 2, true, PathCategory::ssh);
    // The user's own entry at the default's path: its identity, category and flags stay.
    const auto userSSH = entry(protectedPath("/home/ana/.ssh", 10, false), false, false);
    const auto userProjects = entry(protectedPath("~/projects", 11), false);
    const auto userBin = entry(protectedPath("/usr/local/bin", 12), true);

    const auto restored =
        WatchList::restoringDefaults({userProjects, userSSH, userBin}, {zshrc, ssh});

    auto enabledSSH = userSSH;
    enabledSSH.enabled = true;
    EXPECT_EQ(restored, (std::vector{entry(zshrc, true, true), enabledSSH, userProjects, userBin}));
}

TEST(WatchListRestoringDefaultsTests, keepsOnlyTheFirstOfSeveralEntriesAtADefaultsPath) {
    const auto ssh = protectedPath("~/.ssh", 1, true, PathCategory::ssh);
    const auto first = entry(protectedPath("/home/ana/.ssh", 10), false);
    const auto second = entry(protectedPath("/home/ana/.ssh/", 11), true, true);
    const auto other = entry(protectedPath("/tmp", 12), false);

    auto enabledFirst = first;
    enabledFirst.enabled = true;
    EXPECT_EQ(WatchList::restoringDefaults({other, first, second}, {ssh}),
              (std::vector{enabledFirst, other}));
}

TEST(WatchListRestoringDefaultsTests, keepsDuplicatesAmongEntriesAtNoDefaultsPath) {
    const auto a = entry(protectedPath("/a", 10), false);
    const auto b = entry(protectedPath("/b", 11), true);
    const auto aAgain = entry(protectedPath("/a", 12), true);
    EXPECT_EQ(WatchList::restoringDefaults({a, b, aAgain}, {}), (std::vector{a, b, aAgain}));
    const auto c = protectedPath("/c", 1);
    EXPECT_EQ(WatchList::restoringDefaults({a, b, aAgain}, {c}),
              (std::vector{entry(c, true, true), a, b, aAgain}));
}

TEST(WatchListRestoringDefaultsTests, aRepeatedDefaultPathIsRestoredOnce) {
    const auto ssh = protectedPath("~/.ssh", 1, true, PathCategory::ssh);
    const auto sshAgain = protectedPath("/home/ana/.ssh", 2, false, PathCategory::custom);
    const auto zshrc = protectedPath("~/.zshrc", 3, false, PathCategory::shellStartup);
    EXPECT_EQ(WatchList::restoringDefaults({}, {ssh, zshrc, sshAgain}),
              (std::vector{entry(ssh, true, true), entry(zshrc, true, true)}));

    const auto userSSH = entry(protectedPath("/home/ana/.ssh", 10), false);
    auto enabledUserSSH = userSSH;
    enabledUserSSH.enabled = true;
    EXPECT_EQ(WatchList::restoringDefaults({userSSH}, {ssh, sshAgain}),
              (std::vector{enabledUserSSH}));
}

// MARK: - Checking an addition

TEST(WatchListAdditionRejectionTests, decidesByPathEnablementAndRecursion) {
    const auto recursiveA = [](bool enabled) { return entry(protectedPath("/a", 1), enabled); };
    const auto flatA = entry(protectedPath("/a", 2, false), true);
    const auto coveredBy = [](std::string_view path) {
        return std::optional(Rejection::coveredByEnabledRecursiveScope(normalized(path)));
    };
    struct Case {
        std::string_view name;
        std::string_view candidate;
        std::vector<WatchListEntry> entries;
        std::optional<Rejection> expected;
    };
    const Case cases[] = {
        {"an empty list accepts anything", "/", {}, std::nullopt},
        {"same path as a disabled entry", "/a", {recursiveA(false)}, Rejection::duplicatePath()},
        {"same path as an enabled one", "/a", {flatA}, Rejection::duplicatePath()},
        {"same path written differently",
         "/a/./b/../",
         {recursiveA(false)},
         Rejection::duplicatePath()},
        {"under an enabled recursive entry", "/a/b/c", {recursiveA(true)}, coveredBy("/a")},
        {"under a disabled recursive entry", "/a/b/c", {recursiveA(false)}, std::nullopt},
        {"under an enabled non-recursive entry", "/a/b/c", {flatA}, std::nullopt},
        {"beside a recursive entry sharing a prefix", "/ab", {recursiveA(true)}, std::nullopt},
        {"above an existing entry", "/", {recursiveA(true)}, std::nullopt},
        {"under an enabled recursive root",
         "/etc/hosts",
         {entry(protectedPath("/", 3), true)},
         coveredBy("/")},
        {"a duplicate later in the list beats an earlier covering scope",
         "/a/b",
         {recursiveA(true), entry(protectedPath("/a/b", 4, false), false)},
         Rejection::duplicatePath()},
        {"the first covering entry in list order, the narrower",
         "/a/b/c",
         {entry(protectedPath("/a/b", 4), true), recursiveA(true)},
         coveredBy("/a/b")},
        {"the first covering entry in list order, the wider",
         "/a/b/c",
         {recursiveA(true), entry(protectedPath("/a/b", 4), true)},
         coveredBy("/a")},
        {"a disabled scope is skipped for a later enabled one",
         "/a/b/c",
         {entry(protectedPath("/a/b", 4), false), recursiveA(true)},
         coveredBy("/a")},
    };
    for (const auto& [name, candidate, entries, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(WatchList::additionRejection(protectedPath(candidate, 99), entries), expected);
    }
}

TEST(WatchListAdditionRejectionTests, carriesTheCoveringPathOnlyWhenCovered) {
    const auto duplicate = Rejection::duplicatePath();
    EXPECT_EQ(duplicate.kind(), Rejection::Kind::duplicatePath);
    EXPECT_EQ(duplicate.coveringPath(), std::nullopt);
    const auto covered = Rejection::coveredByEnabledRecursiveScope(normalized("/a"));
    EXPECT_EQ(covered.kind(), Rejection::Kind::coveredByEnabledRecursiveScope);
    EXPECT_EQ(covered.coveringPath(), normalized("/a"));
    EXPECT_NE(covered, Rejection::coveredByEnabledRecursiveScope(normalized("/b")));
    EXPECT_NE(covered, duplicate);

    std::ostringstream text;
    text << duplicate << " " << covered;
    EXPECT_EQ(text.str(), "duplicatePath coveredByEnabledRecursiveScope(/a)");
}

}  // namespace
}  // namespace quorin
