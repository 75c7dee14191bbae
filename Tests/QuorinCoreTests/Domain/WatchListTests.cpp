#include "QuorinCore/Domain/WatchList.hpp"

#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace quorin {
namespace {

using quorin::testing::normalized;
using quorin::testing::protectedPath;
using Rejection = WatchList::AdditionRejection;

WatchListEntry entry(std::string_view path, unsigned number, bool enabled, bool isDefault = false) {
    return WatchListEntry{protectedPath(path, number), enabled, isDefault};
}

WatchListEntry restored(const ProtectedPath& defaultPath) {
    return WatchListEntry{defaultPath, true, true};
}

TEST(WatchListRestoringDefaultsTests, putsTheDefaultsFirstEnabledAndKeepsTheRest) {
    const auto zshrc = protectedPath("~/.zshrc", 1, false, PathCategory::shellStartup);
    const auto ssh = protectedPath("~/.ssh", 2, false, PathCategory::ssh);
    const auto sshAgain = protectedPath("/home/ana/.ssh/", 3, true);
    struct Case {
        std::string_view name;
        std::vector<WatchListEntry> entries;
        std::vector<ProtectedPath> defaults;
        std::vector<WatchListEntry> expected;
    };
    const Case cases[] = {
        {"nothing", {}, {}, {}},
        {"no entries", {}, {zshrc, ssh}, {restored(zshrc), restored(ssh)}},
        {"entries at no default's path keep their order, state and duplicates",
         {entry("/a", 10, false), entry("/b", 11, true), entry("/a", 12, true)},
         {zshrc},
         {restored(zshrc), entry("/a", 10, false), entry("/b", 11, true), entry("/a", 12, true)}},
        // The user's entry at a default's path keeps its own id, category, recursion and flag.
        {"an entry at a default's path takes the default's place, enabled",
         {entry("/p", 10, false), entry("/home/ana/.ssh", 11, false), entry("/q", 12, true)},
         {zshrc, ssh},
         {restored(zshrc), entry("/home/ana/.ssh", 11, true), entry("/p", 10, false),
          entry("/q", 12, true)}},
        {"only the first of several entries at a default's path",
         {entry("/p", 10, false), entry("/home/ana/.ssh", 11, false),
          entry("/home/ana/.ssh", 12, true, true)},
         {ssh},
         {entry("/home/ana/.ssh", 11, true), entry("/p", 10, false)}},
        {"a repeated default path is restored once",
         {},
         {ssh, zshrc, sshAgain},
         {restored(ssh), restored(zshrc)}},
        {"a repeated default path with an entry there",
         {entry("/home/ana/.ssh", 11, false)},
         {ssh, sshAgain},
         {entry("/home/ana/.ssh", 11, true)}},
    };
    for (const auto& [name, entries, defaults, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(WatchList::restoringDefaults(entries, defaults), expected);
    }
}

TEST(WatchListAdditionRejectionTests, decidesByPathEnablementAndRecursion) {
    const auto recursiveA = [](bool enabled) { return entry("/a", 1, enabled); };
    const auto flatA = WatchListEntry{protectedPath("/a", 2, false), true, false};
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
        {"under an enabled recursive entry", "/a/b/c", {recursiveA(true)}, coveredBy("/a")},
        {"under a disabled recursive entry", "/a/b/c", {recursiveA(false)}, std::nullopt},
        {"under an enabled non-recursive entry", "/a/b/c", {flatA}, std::nullopt},
        {"beside a recursive entry sharing a prefix", "/ab", {recursiveA(true)}, std::nullopt},
        {"above an existing entry", "/", {recursiveA(true)}, std::nullopt},
        {"under an enabled recursive root", "/etc/hosts", {entry("/", 3, true)}, coveredBy("/")},
        {"a duplicate later in the list beats an earlier covering scope",
         "/a/b",
         {recursiveA(true), entry("/a/b", 4, false)},
         Rejection::duplicatePath()},
        {"the first covering entry in list order, the narrower",
         "/a/b/c",
         {entry("/a/b", 4, true), recursiveA(true)},
         coveredBy("/a/b")},
        {"the first covering entry in list order, the wider",
         "/a/b/c",
         {recursiveA(true), entry("/a/b", 4, true)},
         coveredBy("/a")},
        {"a disabled scope is skipped for a later enabled one",
         "/a/b/c",
         {entry("/a/b", 4, false), recursiveA(true)},
         coveredBy("/a")},
    };
    for (const auto& [name, candidate, entries, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(WatchList::additionRejection(protectedPath(candidate, 99), entries), expected);
    }
}

TEST(WatchListAdditionRejectionTests, describesItself) {
    std::ostringstream text;
    text << Rejection::duplicatePath() << " "
         << Rejection::coveredByEnabledRecursiveScope(normalized("/a"));
    EXPECT_EQ(text.str(), "duplicatePath coveredByEnabledRecursiveScope(/a)");
}

}  // namespace
}  // namespace quorin
