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
#include <utility>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using quorin::testing::TemporaryDirectory;
using testing::FakeClock;
using testing::FakeCodeSigning;
using Signature = ExecutionExplanation::Signature;

// SHA-256 test vectors.
const std::string abcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string millionADigest =
    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
const std::string zeros64MiBDigest =
    "3b6a07d0d404fab4e23b6d34bc6696a6a312dd92821332385e5af7c01c421351";

const std::string designated = "identifier \"com.example.tool\"";
const FakeCodeSigning::Signature teamSignature{"TEAM123", "com.example.tool", designated};
const std::string pinned = pinnedRequirement(designated, "TEAM123", "com.example.tool");

// Passes every call to the fake, counts static codes and requirements made, and runs
// `duringValidityCheck` once, inside the first validity check, to change the file while it is
// being examined.
class ObservedCodeSigning final : public CodeSigning {
  public:
    explicit ObservedCodeSigning(CodeSigning& inner) : inner_(inner) {}

    std::function<void()> duringValidityCheck;
    int codesCreated = 0;
    int requirementsCreated = 0;

    SecResult<SecStaticCode> SecStaticCodeCreateWithPath(const std::string& path) override {
        ++codesCreated;
        return inner_.SecStaticCodeCreateWithPath(path);
    }
    OSStatus SecStaticCodeCheckValidity(const SecStaticCode& code,
                                        const SecRequirement* requirement) override {
        if (duringValidityCheck) {
            std::exchange(duringValidityCheck, nullptr)();
        }
        return inner_.SecStaticCodeCheckValidity(code, requirement);
    }
    SecResult<SecRequirement> SecCodeCopyDesignatedRequirement(const SecStaticCode& code) override {
        return inner_.SecCodeCopyDesignatedRequirement(code);
    }
    SecResult<std::string> SecRequirementCopyString(const SecRequirement& requirement) override {
        return inner_.SecRequirementCopyString(requirement);
    }
    SecResult<SecRequirement> SecRequirementCreateWithString(const std::string& text) override {
        ++requirementsCreated;
        return inner_.SecRequirementCreateWithString(text);
    }

  private:
    CodeSigning& inner_;
};

ExecutionFileVersion versionOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return fileVersion(status);
}

struct Claims {
    bool validSignature = false;
    bool adHoc = false;
    std::string teamID;
};
const Claims noSignature{};
const Claims adHocSignature{true, true, ""};
const Claims teamSigned{true, false, "TEAM123"};

// The candidate an exec of `path` reports now, with the signature facts of `claims`.
ExecutionCandidate candidateFor(const fs::path& path, const Claims& claims) {
    return ExecutionCandidate{
        path,         versionOf(path),    false,         claims.validSignature,
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

    // Puts a new file with `contents` at `path`, as an installer or a compiler would.
    void replace(const fs::path& path, std::string_view contents) const {
        fs::rename(directory.write(path.filename().string() + ".new", contents), path);
    }

    TemporaryDirectory directory;
    FakeCodeSigning fake;
    ObservedCodeSigning signing{fake};
    FakeClock clock;
};

TEST(ExecutableIdentificationHelpersTest,
     FileVersionTakesEachFieldFromItsOwnPlaceInTheStatusRecord) {
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
    const fs::path tool = directory.write("tool", "abc");
    fake.sign(tool, teamSignature);
    fs::create_symlink(tool, directory / "link");
    fs::create_directory(directory / "folder");
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    using Change = std::function<void(ExecutionCandidate&)>;
    // Another path, with its own version or (for a link, say) still the tool's.
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
            ExecutionCandidate candidate = candidateFor(tool, claims);
            change(candidate);
            EXPECT_EQ(identify(candidate), Verification::failed());
        }
    }
    EXPECT_EQ(signing.codesCreated, 0);
    EXPECT_NE(identify(candidateFor(tool, noSignature)), Verification::failed());
}

TEST_F(ExecutableIdentificationTest, FailsWhenTheFileChangesWhileItIsExamined) {
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> change;
    };
    const std::vector<Case> cases{
        {"replaced by another file", [this](const fs::path& p) { replace(p, "abd"); }},
        {"appended to",
         [this](const fs::path& p) { directory.write(p.filename().string(), "abcd"); }},
        {"modification time set back",
         [](const fs::path& p) {
             const timespec times[2] = {{0, UTIME_OMIT}, {946'684'800, 0}};
             ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
         }},
    };
    for (const Claims& claims : {noSignature, teamSigned}) {
        for (const Case& sample : cases) {
            SCOPED_TRACE(sample.name + ", team " + claims.teamID);
            const fs::path tool = directory.write("tool", "abc");
            fake.sign(tool, teamSignature);
            const ExecutionCandidate candidate = candidateFor(tool, claims);
            signing.duringValidityCheck = [&] { sample.change(tool); };
            EXPECT_EQ(identify(candidate), Verification::failed());
            EXPECT_FALSE(signing.duringValidityCheck) << "the file was not examined";
        }
    }
}

// A team-signed executable is identified by its pinned requirement, or not at all; anything else
// by its SHA-256 (up to 64 MiB), with the signature class of what is on disk.
TEST_F(ExecutableIdentificationTest, IdentifiesByPinnedRequirementOrByContentUpTo64MiB) {
    const Rule abc{std::nullopt, abcDigest};
    const std::nullopt_t none = std::nullopt;
    struct Case {
        std::string name;
        std::string contents;
        bool signedOnDisk;
        std::optional<std::string> failingOperation;
        Claims claims;
        Signature signature;
        std::optional<Rule> rule;
        off_t sparseSize = 0;  // when set, the file is this many zero bytes instead
    };
    const std::vector<Case> cases{
        {"unsigned script", "abc", false, none, noSignature, Signature::unsigned_, abc},
        {"unsigned, reported ad hoc", "abc", false, none, adHocSignature, Signature::unsigned_,
         abc},
        {"ad hoc", "abc", true, none, adHocSignature, Signature::adHoc, abc},
        {"signed, reported invalid",
         "abc",
         true,
         none,
         {false, true, ""},
         Signature::unverified,
         abc},
        {"signed without a team", "abc", true, none, {true, false, ""}, Signature::unverified, abc},
        {"ad hoc, validity check fails", "abc", true, "SecStaticCodeCheckValidity", adHocSignature,
         Signature::unverified, abc},
        {"ad hoc, no static code", "abc", true, "SecStaticCodeCreateWithPath", adHocSignature,
         Signature::unverified, abc},
        {"empty file", "", false, none, noSignature, Signature::unsigned_, Rule{none, emptyDigest}},
        {"many chunks, the last one partial", std::string(1'000'000, 'a'), false, none, noSignature,
         Signature::unsigned_, Rule{none, millionADigest}},
        {"64 MiB", "", true, none, adHocSignature, Signature::adHoc, Rule{none, zeros64MiBDigest},
         67'108'864},
        {"one byte over 64 MiB", "", true, none, adHocSignature, Signature::unverified, none,
         67'108'865},
        {"team signed", "abc", true, none, teamSigned, Signature::verifiedPublisher,
         Rule{pinned, none}},
        // A team-signed executable that fails is neither pinned nor hashed.
        {"team, unsigned on disk", "abc", false, none, teamSigned, Signature::unverified, none},
        {"team, no static code", "abc", true, "SecStaticCodeCreateWithPath", teamSigned,
         Signature::unverified, none},
        {"team, designated requirement unreadable", "abc", true, "SecCodeCopyDesignatedRequirement",
         teamSigned, Signature::unverified, none},
        {"team, requirement text unreadable", "abc", true, "SecRequirementCopyString", teamSigned,
         Signature::unverified, none},
        {"team, pinned requirement cannot be made", "abc", true, "SecRequirementCreateWithString",
         teamSigned, Signature::unverified, none},
        {"team, pinned requirement not satisfied",
         "abc",
         true,
         none,
         {true, false, "TEAM999"},
         Signature::unverified,
         none},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        FakeCodeSigning local;
        const fs::path tool = directory.write("tool", sample.contents);
        if (sample.sparseSize > 0) {
            ASSERT_EQ(::truncate(tool.c_str(), sample.sparseSize), 0);
        }
        if (sample.signedOnDisk) {
            local.sign(tool, teamSignature);
        }
        if (sample.failingOperation) {
            local.fail(*sample.failingOperation);
        }
        const Verification verification =
            ExecutableIdentification(local, clock).identity(candidateFor(tool, sample.claims));
        EXPECT_EQ(verification.signature, sample.signature);
        EXPECT_EQ(verification.rule, sample.rule);
    }
}

TEST_F(ExecutableIdentificationTest, MatchesRulesOfItsOwnKindOnly) {
    const fs::path tool = directory.write("tool", "first build");
    fake.sign(tool, teamSignature);
    const ExecutionCandidate firstBuild = candidateFor(tool, teamSigned);
    ASSERT_EQ(identify(firstBuild).rule, (Rule{pinned, std::nullopt}));

    replace(tool, "second build, different content");
    const ExecutionCandidate later = candidateFor(tool, teamSigned);
    const Verification publisher = identify(later);
    ASSERT_EQ(publisher.signature, Signature::verifiedPublisher);
    const Verification content{Rule{std::nullopt, abcDigest}, Signature::unsigned_, std::nullopt};

    const Rule byTeam{pinned, std::nullopt};
    const Rule otherTeam{pinnedRequirement(designated, "TEAM999", "com.example.tool"),
                         std::nullopt};
    const Rule abc{std::nullopt, abcDigest};
    const Rule upperCase{std::nullopt,
                         "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"};
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
        {"later content rule", content, {Rule{std::nullopt, emptyDigest}, abc}, later, true},
        {"no identity", Verification::failed(), {byTeam, abc}, later, false},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(matches(sample.verification, sample.rules, sample.candidate), sample.matched)
            << sample.name;
    }
}

TEST_F(ExecutableIdentificationTest, TheFirstMatchingRuleDecides) {
    const fs::path tool = directory.write("tool", "abc");
    fake.sign(tool, teamSignature);
    const ExecutionCandidate candidate = candidateFor(tool, teamSigned);
    const Verification verification = identify(candidate);
    signing.requirementsCreated = 0;
    EXPECT_TRUE(matches(verification, {Rule{pinned, std::nullopt}, Rule{designated, std::nullopt}},
                        candidate));
    EXPECT_EQ(signing.requirementsCreated, 1);
}

TEST_F(ExecutableIdentificationTest, ReportsThePlausibleBirthTime) {
    const fs::path tool = directory.write("tool", "abc");
    struct statx status {};
    if (::statx(AT_FDCWD, tool.c_str(), 0, STATX_BTIME, &status) != 0 ||
        (status.stx_mask & STATX_BTIME) == 0) {
        GTEST_SKIP() << "the file system of " << directory.path() << " reports no birth time";
    }
    const Date now = SystemClock().now();  // after the file was made
    clock.setNow(now);
    const Verification verification = identify(candidateFor(tool, noSignature));
    ASSERT_TRUE(verification.fileCreatedAt);
    EXPECT_EQ(verification.fileCreatedAt,
              Date::fromUnixTime(static_cast<double>(status.stx_btime.tv_sec) +
                                 static_cast<double>(status.stx_btime.tv_nsec) / 1e9));
    EXPECT_LE(*verification.fileCreatedAt, now);
    EXPECT_GT(*verification.fileCreatedAt, now.addingTimeInterval(-5));

    // A birth time later than now is no creation time; the file is identified all the same.
    clock.setNow(Date::fromUnixTime(0));
    const Verification early = identify(candidateFor(tool, noSignature));
    EXPECT_EQ(early.rule, (Rule{std::nullopt, abcDigest}));
    EXPECT_EQ(early.fileCreatedAt, std::nullopt);
}

TEST(ExecutableIdentificationHelpersTest, PlausibleCreationTimeAcceptsTimesAfterTheEpochUpToNow) {
    const Date now = Date::fromUnixTime(1'700'000'000);
    struct Case {
        std::int64_t seconds;
        std::uint32_t nanoseconds;
        std::optional<Date> created;
    };
    const std::vector<Case> cases{
        {0, 0, std::nullopt},
        {-1, 999'999'999, std::nullopt},
        {0, 1, Date::fromUnixTime(1e-9)},
        {1, 500'000'000, Date::fromUnixTime(1.5)},
        {1'700'000'000, 0, now},
        {1'699'999'999, 999'000'000, Date::fromUnixTime(1'699'999'999.999)},
        {1'700'000'000, 1'000'000, std::nullopt},
        {1'700'000'001, 0, std::nullopt},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(plausibleCreationTime(sample.seconds, sample.nanoseconds, now), sample.created)
            << sample.seconds << "." << sample.nanoseconds;
    }
}

}  // namespace
}  // namespace quorin::daemon
