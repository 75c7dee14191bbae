#include "QuorinDaemon/Protection/ExecutableIdentification.hpp"

#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::FakeCodeSigning;
using Signature = ExecutionExplanation::Signature;
constexpr std::nullopt_t none = std::nullopt;

// SHA-256 test vectors.
const std::string abcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string millionADigest =
    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
const std::string zeros64MiBDigest =
    "3b6a07d0d404fab4e23b6d34bc6696a6a312dd92821332385e5af7c01c421351";
const Rule abc{none, abcDigest};

const std::string designated = "identifier \"com.example.tool\"";
const FakeCodeSigning::Signature teamSignature{"TEAM123", "com.example.tool", designated};
const std::string pinned = pinnedRequirement(designated, "TEAM123", "com.example.tool");
const Rule byTeam{pinned, none};

// The signature facts an exec reports.
struct Claims {
    bool validSignature = false;
    bool adHoc = false;
    std::string teamID;
};
const Claims noSignature{};
const Claims adHocSigned{true, true, ""};
const Claims teamSigned{true, false, "TEAM123"};

ExecutionFileVersion versionOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return fileVersion(status);
}

// The candidate an exec of `path` reports now.
ExecutionCandidate candidateFor(const fs::path& path, const Claims& claims) {
    return {path,         versionOf(path),    false,         claims.validSignature,
            claims.adHoc, "com.example.tool", claims.teamID, "/bin/sh"};
}

class ExecutableIdentificationTest : public ::testing::Test {
  protected:
    Verification identify(const ExecutionCandidate& candidate) {
        return ExecutableIdentification(signing, clock).identity(candidate);
    }
    bool matches(const Verification& verification, const std::vector<Rule>& rules,
                 const ExecutionCandidate& candidate) {
        return ExecutableIdentification(signing, clock).matches(verification, rules, candidate);
    }
    // A signed file "tool" with `contents`.
    fs::path tool(std::string_view contents = "abc") {
        const fs::path path = directory.write("tool", contents);
        signing.sign(path, teamSignature);
        return path;
    }
    // Puts a new file with `contents` at `path`, as an installer or a compiler would.
    void replace(const fs::path& path, std::string_view contents) const {
        fs::rename(directory.write(path.filename().string() + ".new", contents), path);
    }

    quorin::testing::TemporaryDirectory directory;
    FakeCodeSigning signing;
    testing::FakeClock clock;
};

TEST(ExecutableIdentificationHelpersTest, FileVersionTakesEachFieldFromItsOwnPlace) {
    struct stat status {};
    status.st_dev = static_cast<dev_t>(-2);
    status.st_ino = 0xFFFF'FFFF'FFFF'FFF0;
    status.st_size = 3;
    status.st_mtim = {4, 5};
    status.st_ctim = {6, 7};
    status.st_atim = {8, 9};
    EXPECT_EQ(fileVersion(status),
              (ExecutionFileVersion{-2, 0xFFFF'FFFF'FFFF'FFF0, 3, 4, 5, 6, 7}));
}

// Anything but the regular file the exec reported, in the version it reported, is refused before
// its signature is looked at.
TEST_F(ExecutableIdentificationTest, FailsForAnythingButTheReportedVersionOfARegularFile) {
    const fs::path file = tool();
    fs::create_symlink(file, directory / "link");
    fs::create_directory(directory / "folder");
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    using Change = std::function<void(ExecutionCandidate&)>;
    // Another path, with its own version or (a link, say) still the tool's.
    const auto at = [](const fs::path& path, bool ownVersion) -> Change {
        return [=](ExecutionCandidate& candidate) {
            candidate.path = path.string();
            if (ownVersion) {
                candidate.version = versionOf(path);
            }
        };
    };
    const std::vector<std::pair<std::string, Change>> cases{
        {"symbolic link", at(directory / "link", false)},
        {"directory", at(directory / "folder", true)},
        {"FIFO", at(directory / "fifo", true)},
        {"missing file", at(directory / "missing", false)},
        {"no path", at("", false)},
        {"device", [](ExecutionCandidate& c) { ++c.version.device; }},
        {"inode", [](ExecutionCandidate& c) { ++c.version.inode; }},
        {"size", [](ExecutionCandidate& c) { ++c.version.size; }},
        {"modifiedSeconds", [](ExecutionCandidate& c) { --c.version.modifiedSeconds; }},
        {"modifiedNanoseconds", [](ExecutionCandidate& c) { c.version.modifiedNanoseconds ^= 1; }},
        {"changedSeconds", [](ExecutionCandidate& c) { --c.version.changedSeconds; }},
        {"changedNanoseconds", [](ExecutionCandidate& c) { c.version.changedNanoseconds ^= 1; }},
    };
    for (const Claims& claims : {noSignature, teamSigned}) {
        for (const auto& [name, change] : cases) {
            SCOPED_TRACE(name + ", team " + claims.teamID);
            ExecutionCandidate candidate = candidateFor(file, claims);
            change(candidate);
            EXPECT_EQ(identify(candidate), Verification::failed());
        }
    }
    EXPECT_EQ(signing.codesCreated, 0);
    EXPECT_NE(identify(candidateFor(file, noSignature)), Verification::failed());
}

TEST_F(ExecutableIdentificationTest, FailsWhenTheFileChangesWhileItIsExamined) {
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> cases{
        {"replaced by another file", [this](const fs::path& p) { replace(p, "abd"); }},
        {"appended to", [this](const fs::path&) { directory.write("tool", "abcd"); }},
        {"modification time set back",
         [](const fs::path& p) {
             const timespec times[2] = {{0, UTIME_OMIT}, {946'684'800, 0}};
             ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
         }},
    };
    for (const Claims& claims : {noSignature, teamSigned}) {
        for (const auto& test : cases) {
            SCOPED_TRACE(test.first + ", team " + claims.teamID);
            const fs::path file = tool();
            const ExecutionCandidate candidate = candidateFor(file, claims);
            signing.duringValidityCheck = [&] { test.second(file); };
            EXPECT_EQ(identify(candidate), Verification::failed());
            EXPECT_FALSE(signing.duringValidityCheck) << "the file was not examined";
        }
    }
}

// A team-signed executable is identified by its pinned requirement, or not at all; anything else
// by its SHA-256 (up to 64 MiB), with the signature class of what is on disk.
TEST_F(ExecutableIdentificationTest, IdentifiesByPinnedRequirementOrByContentUpTo64MiB) {
    using enum ExecutionExplanation::Signature;
    struct Case {
        std::string name;
        std::string contents;  // or, with `size`, that many zero bytes
        bool signedOnDisk;
        std::string failing;  // the operation that fails, if any
        Claims claims;
        Signature signature;
        std::optional<Rule> rule;
        off_t size = 0;
    };
    const std::string million(1'000'000, 'a');
    const std::vector<Case> cases{
        {"unsigned script", "abc", false, "", noSignature, unsigned_, abc},
        {"unsigned, reported ad hoc", "abc", false, "", adHocSigned, unsigned_, abc},
        {"ad hoc", "abc", true, "", adHocSigned, adHoc, abc},
        {"signed, reported invalid", "abc", true, "", {false, true, ""}, unverified, abc},
        {"signed without a team", "abc", true, "", {true, false, ""}, unverified, abc},
        {"ad hoc, validity check fails", "abc", true, "SecStaticCodeCheckValidity", adHocSigned,
         unverified, abc},
        {"ad hoc, no static code", "abc", true, "SecStaticCodeCreateWithPath", adHocSigned,
         unverified, abc},
        {"empty file", "", false, "", noSignature, unsigned_, Rule{none, emptyDigest}},
        {"many chunks, the last partial", million, false, "", noSignature, unsigned_,
         Rule{none, millionADigest}},
        {"64 MiB", "", true, "", adHocSigned, adHoc, Rule{none, zeros64MiBDigest}, 67'108'864},
        {"one byte over 64 MiB", "", true, "", adHocSigned, unverified, none, 67'108'865},
        {"team signed", "abc", true, "", teamSigned, verifiedPublisher, byTeam},
        // A team-signed executable that fails is neither pinned nor hashed.
        {"team, unsigned on disk", "abc", false, "", teamSigned, unverified, none},
        {"team, no static code", "abc", true, "SecStaticCodeCreateWithPath", teamSigned, unverified,
         none},
        {"team, no designated requirement", "abc", true, "SecCodeCopyDesignatedRequirement",
         teamSigned, unverified, none},
        {"team, requirement text unreadable", "abc", true, "SecRequirementCopyString", teamSigned,
         unverified, none},
        {"team, pinned requirement not made", "abc", true, "SecRequirementCreateWithString",
         teamSigned, unverified, none},
        {"team, pinned requirement unmet",
         "abc",
         true,
         "",
         {true, false, "TEAM9"},
         unverified,
         none},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        FakeCodeSigning local;
        const fs::path file = directory.write("tool", test.contents);
        if (test.size > 0) {
            ASSERT_EQ(::truncate(file.c_str(), test.size), 0);
        }
        if (test.signedOnDisk) {
            local.sign(file, teamSignature);
        }
        local.fail(test.failing);
        const Verification verification =
            ExecutableIdentification(local, clock).identity(candidateFor(file, test.claims));
        EXPECT_EQ(verification.signature, test.signature);
        EXPECT_EQ(verification.rule, test.rule);
    }
}

TEST_F(ExecutableIdentificationTest, MatchesRulesOfItsOwnKindOnlyAndStopsAtTheFirstMatch) {
    const ExecutionCandidate firstBuild = candidateFor(tool("first build"), teamSigned);
    ASSERT_EQ(identify(firstBuild).rule, byTeam);
    replace(firstBuild.path, "second build, different content");
    const ExecutionCandidate later = candidateFor(firstBuild.path, teamSigned);
    const Verification publisher = identify(later);
    ASSERT_EQ(publisher.signature, Signature::verifiedPublisher);
    const Verification content{abc, Signature::unsigned_, none};

    const Rule otherTeam{pinnedRequirement(designated, "TEAM999", "com.example.tool"), none};
    const Rule upperCase{none, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"};
    struct Case {
        std::string name;
        Verification verification;
        std::vector<Rule> rules;
        ExecutionCandidate candidate;
        bool matched;
    };
    const std::vector<Case> cases{
        {"signing rule, later build", publisher, {byTeam}, later, true},
        {"signing rule, file changed since the report", publisher, {byTeam}, firstBuild, false},
        {"signing rule of another team", publisher, {otherTeam}, later, false},
        {"later of two rules", publisher, {otherTeam, byTeam}, later, true},
        {"content rule, publisher identification", publisher, {abc}, later, false},
        {"rule with both is a content rule", publisher, {Rule{pinned, abcDigest}}, later, false},
        {"rule with neither", publisher, {Rule{}}, later, false},
        {"no rules", publisher, {}, later, false},
        {"content rule, same digest", content, {abc}, later, true},
        {"content rule, digest in upper case", content, {upperCase}, later, false},
        {"signing rule, content identification", content, {byTeam}, later, false},
        {"later content rule", content, {Rule{none, emptyDigest}, abc}, later, true},
        {"no identity", Verification::failed(), {byTeam, abc}, later, false},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(matches(test.verification, test.rules, test.candidate), test.matched)
            << test.name;
    }
    // The first rule that matches decides: the second is never turned into a requirement.
    signing.requirementsCreated = 0;
    EXPECT_TRUE(matches(publisher, {byTeam, Rule{designated, none}}, later));
    EXPECT_EQ(signing.requirementsCreated, 1);
}

TEST_F(ExecutableIdentificationTest, ReportsThePlausibleBirthTime) {
    const fs::path file = directory.write("tool", "abc");
    struct statx status {};
    if (::statx(AT_FDCWD, file.c_str(), 0, STATX_BTIME, &status) != 0 ||
        (status.stx_mask & STATX_BTIME) == 0) {
        GTEST_SKIP() << "the file system of " << directory.path() << " reports no birth time";
    }
    const Date now = SystemClock().now();  // after the file was made
    clock.setNow(now);
    const Date born = Date::fromUnixTime(static_cast<double>(status.stx_btime.tv_sec) +
                                         static_cast<double>(status.stx_btime.tv_nsec) / 1e9);
    EXPECT_EQ(identify(candidateFor(file, noSignature)),
              (Verification{abc, Signature::unsigned_, born}));
    EXPECT_GT(born, now.addingTimeInterval(-5));

    // A birth time later than now is no creation time; the file is identified all the same.
    clock.setNow(Date::fromUnixTime(0));
    EXPECT_EQ(identify(candidateFor(file, noSignature)),
              (Verification{abc, Signature::unsigned_, none}));
}

TEST(ExecutableIdentificationHelpersTest, PlausibleCreationTimeAcceptsTimesAfterTheEpochUpToNow) {
    const Date now = Date::fromUnixTime(1'700'000'000);
    const std::vector<std::tuple<std::int64_t, std::uint32_t, std::optional<Date>>> cases{
        {0, 0, none},
        {-1, 999'999'999, none},
        {0, 1, Date::fromUnixTime(1e-9)},
        {1, 500'000'000, Date::fromUnixTime(1.5)},
        {1'700'000'000, 0, now},
        {1'699'999'999, 999'000'000, Date::fromUnixTime(1'699'999'999.999)},
        {1'700'000'000, 1'000'000, none},
        {1'700'000'001, 0, none},
    };
    for (const auto& [seconds, nanoseconds, created] : cases) {
        EXPECT_EQ(plausibleCreationTime(seconds, nanoseconds, now), created)
            << seconds << "." << nanoseconds;
    }
}

}  // namespace
}  // namespace quorin::daemon
