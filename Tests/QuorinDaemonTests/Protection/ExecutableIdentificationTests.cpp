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

    fs::path sparseFile(std::string_view name, off_t size) const {
        const fs::path path = directory.write(name, "");
        EXPECT_EQ(::truncate(path.c_str(), size), 0);
        return path;
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

TEST_F(ExecutableIdentificationTest, FailsForAnythingButTheReportedRegularFile) {
    const fs::path tool = directory.write("tool", "abc");
    fs::create_symlink(tool, directory / "link");
    fs::create_directory(directory / "folder");
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    struct Case {
        std::string name;
        ExecutionCandidate candidate;
    };
    // The link's candidate carries the target's version, so only the link itself is at fault.
    ExecutionCandidate link = candidateFor(tool, noSignature);
    link.path = (directory / "link").string();
    ExecutionCandidate missing = candidateFor(tool, noSignature);
    missing.path = (directory / "missing").string();
    ExecutionCandidate empty = candidateFor(tool, noSignature);
    empty.path = "";
    const std::vector<Case> cases{
        {"symbolic link", link},
        {"directory", candidateFor(directory / "folder", noSignature)},
        {"FIFO", candidateFor(directory / "fifo", noSignature)},
        {"missing file", missing},
        {"no path", empty},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(identify(sample.candidate), Verification::failed()) << sample.name;
    }
    EXPECT_EQ(signing.codesCreated, 0) << "rejected before its signature was looked at";
    EXPECT_NE(identify(candidateFor(tool, noSignature)), Verification::failed());
}

TEST_F(ExecutableIdentificationTest, FailsWhenAnyFieldOfTheReportedVersionDiffers) {
    const fs::path tool = directory.write("tool", "abc");
    fake.sign(tool, teamSignature);
    struct Case {
        std::string field;
        std::function<void(ExecutionFileVersion&)> change;
    };
    const std::vector<Case> cases{
        {"device", [](ExecutionFileVersion& v) { ++v.device; }},
        {"inode", [](ExecutionFileVersion& v) { ++v.inode; }},
        {"size", [](ExecutionFileVersion& v) { ++v.size; }},
        {"modifiedSeconds", [](ExecutionFileVersion& v) { --v.modifiedSeconds; }},
        {"modifiedNanoseconds", [](ExecutionFileVersion& v) { v.modifiedNanoseconds ^= 1; }},
        {"changedSeconds", [](ExecutionFileVersion& v) { --v.changedSeconds; }},
        {"changedNanoseconds", [](ExecutionFileVersion& v) { v.changedNanoseconds ^= 1; }},
    };
    for (const Claims& claims : {noSignature, teamSigned}) {
        for (const Case& sample : cases) {
            ExecutionCandidate candidate = candidateFor(tool, claims);
            sample.change(candidate.version);
            EXPECT_EQ(identify(candidate), Verification::failed())
                << sample.field << ", team " << claims.teamID;
        }
    }
    EXPECT_EQ(signing.codesCreated, 0) << "rejected before its signature was looked at";
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
            const fs::path tool = directory.write("tool", "abc");
            fake.sign(tool, teamSignature);
            const ExecutionCandidate candidate = candidateFor(tool, claims);
            signing.duringValidityCheck = [&] { sample.change(tool); };
            EXPECT_EQ(identify(candidate), Verification::failed())
                << sample.name << ", team " << claims.teamID;
            EXPECT_FALSE(signing.duringValidityCheck) << "the file was not examined";
        }
    }
}

TEST_F(ExecutableIdentificationTest, IdentifiesByContentWithTheSignatureClass) {
    struct Case {
        std::string name;
        std::string contents;
        bool signedOnDisk;
        std::optional<std::string> failingOperation;
        Claims claims;
        Signature signature;
        std::string digest;
    };
    const std::vector<Case> cases{
        {"unsigned script", "abc", false, std::nullopt, noSignature, Signature::unsigned_,
         abcDigest},
        {"unsigned, though reported ad hoc", "abc", false, std::nullopt, adHocSignature,
         Signature::unsigned_, abcDigest},
        {"ad hoc", "abc", true, std::nullopt, adHocSignature, Signature::adHoc, abcDigest},
        {"signed, reported invalid at exec", "abc", true, std::nullopt, Claims{false, true, ""},
         Signature::unverified, abcDigest},
        {"signed without a team", "abc", true, std::nullopt, Claims{true, false, ""},
         Signature::unverified, abcDigest},
        {"validity check fails", "abc", true, "SecStaticCodeCheckValidity", adHocSignature,
         Signature::unverified, abcDigest},
        {"no static code", "abc", true, "SecStaticCodeCreateWithPath", adHocSignature,
         Signature::unverified, abcDigest},
        {"empty file", "", false, std::nullopt, noSignature, Signature::unsigned_, emptyDigest},
        {"many chunks, the last one partial", std::string(1'000'000, 'a'), false, std::nullopt,
         noSignature, Signature::unsigned_, millionADigest},
    };
    for (const Case& sample : cases) {
        FakeCodeSigning local;
        ExecutableIdentification identification(local, clock);
        const fs::path tool = directory.write("tool", sample.contents);
        if (sample.signedOnDisk) {
            local.sign(tool, teamSignature);
        }
        if (sample.failingOperation) {
            local.fail(*sample.failingOperation);
        }
        const Verification verification =
            identification.identity(candidateFor(tool, sample.claims));
        EXPECT_EQ(verification.signature, sample.signature) << sample.name;
        EXPECT_EQ(verification.rule, (Rule{std::nullopt, sample.digest})) << sample.name;
    }
}

TEST_F(ExecutableIdentificationTest, SecondExecutionOfTheSameContentMatchesItsContentRule) {
    const fs::path script = directory.write("script.sh", "abc");
    const ExecutionCandidate original = candidateFor(script, noSignature);
    const Verification first = identify(original);
    ASSERT_EQ(first.rule, (Rule{std::nullopt, abcDigest}));
    const std::vector<Rule> stored{*first.rule};

    replace(script, "abc");  // a new file, the same content
    const ExecutionCandidate again = candidateFor(script, noSignature);
    ASSERT_NE(again.version, original.version);
    EXPECT_TRUE(matches(identify(again), stored, again));

    replace(script, "abd");
    const ExecutionCandidate changed = candidateFor(script, noSignature);
    EXPECT_FALSE(matches(identify(changed), stored, changed));
}

TEST_F(ExecutableIdentificationTest, HashesAtMost64MiB) {
    struct Case {
        off_t size;
        Signature signature;
        std::optional<Rule> rule;
    };
    const std::vector<Case> cases{
        {67'108'864, Signature::adHoc, Rule{std::nullopt, zeros64MiBDigest}},
        {67'108'865, Signature::unverified, std::nullopt},
    };
    for (const Case& sample : cases) {
        const fs::path tool = sparseFile("tool-" + std::to_string(sample.size), sample.size);
        fake.sign(tool, teamSignature);
        const Verification verification = identify(candidateFor(tool, adHocSignature));
        EXPECT_EQ(verification.signature, sample.signature) << sample.size;
        EXPECT_EQ(verification.rule, sample.rule) << sample.size;
    }
}

TEST_F(ExecutableIdentificationTest, IdentifiesATeamSignedExecutableByItsPinnedRequirement) {
    const fs::path tool = directory.write("tool", "abc");
    fake.sign(tool, teamSignature);
    const Verification verification = identify(candidateFor(tool, teamSigned));
    EXPECT_EQ(verification.signature, Signature::verifiedPublisher);
    EXPECT_EQ(verification.rule, (Rule{pinned, std::nullopt}));
}

TEST_F(ExecutableIdentificationTest, ATeamSignedExecutableThatFailsIsNeitherPinnedNorHashed) {
    struct Case {
        std::string name;
        bool signedOnDisk;
        std::optional<std::string> failingOperation;
        std::string reportedTeam;
    };
    const std::vector<Case> cases{
        {"unsigned on disk", false, std::nullopt, "TEAM123"},
        {"no static code", true, "SecStaticCodeCreateWithPath", "TEAM123"},
        {"designated requirement unreadable", true, "SecCodeCopyDesignatedRequirement", "TEAM123"},
        {"requirement text unreadable", true, "SecRequirementCopyString", "TEAM123"},
        {"pinned requirement cannot be made", true, "SecRequirementCreateWithString", "TEAM123"},
        {"pinned requirement not satisfied", true, std::nullopt, "TEAM999"},
    };
    for (const Case& sample : cases) {
        FakeCodeSigning local;
        const fs::path tool = directory.write("tool", "abc");
        if (sample.signedOnDisk) {
            local.sign(tool, teamSignature);
        }
        if (sample.failingOperation) {
            local.fail(*sample.failingOperation);
        }
        const Verification verification =
            ExecutableIdentification(local, clock)
                .identity(candidateFor(tool, Claims{true, false, sample.reportedTeam}));
        EXPECT_EQ(verification.signature, Signature::unverified) << sample.name;
        EXPECT_EQ(verification.rule, std::nullopt) << sample.name;
    }
}

TEST_F(ExecutableIdentificationTest, MatchesRulesOfItsOwnKindOnly) {
    const fs::path tool = directory.write("tool", "first build");
    fake.sign(tool, teamSignature);
    const ExecutionCandidate firstBuild = candidateFor(tool, teamSigned);
    ASSERT_EQ(identify(firstBuild).rule, (Rule{pinned, std::nullopt}));

    replace(tool, "second build, different content");
    const ExecutionCandidate secondBuild = candidateFor(tool, teamSigned);
    const Verification publisher = identify(secondBuild);
    ASSERT_EQ(publisher.signature, Signature::verifiedPublisher);
    const Verification content{Rule{std::nullopt, abcDigest}, Signature::unsigned_, std::nullopt};

    const Rule signingRule{pinned, std::nullopt};
    const Rule otherTeam{pinnedRequirement(designated, "TEAM999", "com.example.tool"),
                         std::nullopt};
    const Rule contentRule{std::nullopt, abcDigest};
    const std::string upperCase =
        "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    struct Case {
        std::string name;
        Verification verification;
        std::vector<Rule> rules;
        ExecutionCandidate candidate;
        bool matched;
    };
    const std::vector<Case> cases{
        {"signing rule, later build", publisher, {signingRule}, secondBuild, true},
        {"signing rule, file changed since the report",
         publisher,
         {signingRule},
         firstBuild,
         false},
        {"signing rule of another team", publisher, {otherTeam}, secondBuild, false},
        {"later of two rules", publisher, {otherTeam, signingRule}, secondBuild, true},
        {"content rule, publisher identification", publisher, {contentRule}, secondBuild, false},
        {"rule with both is a content rule",
         publisher,
         {Rule{pinned, abcDigest}},
         secondBuild,
         false},
        {"rule with neither", publisher, {Rule{}}, secondBuild, false},
        {"no rules", publisher, {}, secondBuild, false},
        {"content rule, same digest", content, {contentRule}, secondBuild, true},
        {"content rule, digest in upper case",
         content,
         {Rule{std::nullopt, upperCase}},
         secondBuild,
         false},
        {"signing rule, content identification", content, {signingRule}, secondBuild, false},
        {"later content rule",
         content,
         {Rule{std::nullopt, emptyDigest}, contentRule},
         secondBuild,
         true},
        {"no identity", Verification::failed(), {signingRule, contentRule}, secondBuild, false},
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

TEST_F(ExecutableIdentificationTest, BirthTimeLaterThanNowIsNoCreationTime) {
    const fs::path tool = directory.write("tool", "abc");
    clock.setNow(Date::fromUnixTime(0));
    const Verification verification = identify(candidateFor(tool, noSignature));
    EXPECT_EQ(verification.rule, (Rule{std::nullopt, abcDigest}));
    EXPECT_EQ(verification.fileCreatedAt, std::nullopt);
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
