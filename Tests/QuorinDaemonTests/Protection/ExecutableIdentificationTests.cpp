#include "QuorinDaemon/Protection/ExecutableIdentification.hpp"

#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Messages.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::FakeCodeSigning;
using enum ExecutionExplanation::Signature;
constexpr std::nullopt_t none = std::nullopt;

// SHA-256 test vectors.
const Rule abc{none, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"};
const Rule millionA{none, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"};
const Rule zeros64MiB{none, "3b6a07d0d404fab4e23b6d34bc6696a6a312dd92821332385e5af7c01c421351"};

const std::string designated = "identifier \"com.example.tool\"";
const Rule byTeam{pinnedRequirement(designated, "TEAM123", "com.example.tool"), none};

// The signature facts an exec reports.
struct Claims {
    bool validSignature = false, adHoc = false;
    std::string teamID;
};
const Claims adHocSigned{true, true, ""};
const Claims teamSigned{true, false, "TEAM123"};

class ExecutableIdentificationTest : public ::testing::Test {
  protected:
    // The file "tool" with `contents`, signed by TEAM123, as an exec with `claims` reports it.
    ExecutionCandidate tool(const Claims& claims, std::string_view contents = "abc") {
        const fs::path path = directory.write("tool", contents);
        signing.sign(path, {"TEAM123", "com.example.tool", designated});
        return reported(path, claims);
    }
    static ExecutionCandidate reported(const fs::path& path, const Claims& claims) {
        std::shared_ptr<const UniqueFd> file = testing::openFile(path);
        struct stat status {};
        EXPECT_TRUE(file && ::fstat(file->get(), &status) == 0) << path;
        return {path,           fileVersion(status), false,         claims.validSignature,
                claims.adHoc,   "com.example.tool",  claims.teamID, "/bin/sh",
                std::move(file)};
    }
    Verification identify(const ExecutionCandidate& candidate) {
        return ExecutableIdentification(signing, clock).identity(candidate);
    }
    // Puts a new file with `contents` at `path`, as an installer or a compiler would.
    void replace(const fs::path& path, std::string_view contents) const {
        fs::rename(directory.write("tool.new", contents), path);
    }

    quorin::testing::TemporaryDirectory directory;
    FakeCodeSigning signing;
    testing::FakeClock clock{Date::fromUnixTime(1)};  // before every birth time: none is plausible
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

// Only the file the exec handed over is examined, and only while it is the regular file in the
// version the exec reported; what is not so already is refused before its signature is looked
// at. Its path counts only where the code-signing service judged the file by it: a team-signed
// file whose path names another file is not identified, while the content of the file the exec
// runs still is.
TEST_F(ExecutableIdentificationTest, ExaminesOnlyTheReportedVersionOfTheFileTheExecHandedOver) {
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    const Verification failed = Verification::failed();
    using Change = std::function<void(ExecutionCandidate&)>;
    const Change appendWhileExamined = [&](ExecutionCandidate&) {
        signing.duringValidityCheck = [&] { directory.write("tool", "abcd"); };
    };
    const Change pathOfAnotherSignedFile = [&](ExecutionCandidate& c) {
        c.path = directory.write("elsewhere", "another file");
        signing.sign(c.path, {"TEAM123", "com.example.tool", designated});
    };
    const Change replaceWhileExamined = [&](ExecutionCandidate& c) {
        signing.duringValidityCheck = [&, path = c.path] { replace(path, "abd"); };
    };
    // clang-format off
    const std::vector<std::tuple<std::string, int, Change, Verification>> cases{
        {"no open file", 0, [](ExecutionCandidate& c) { c.file = nullptr; }, failed},
        {"FIFO", 0, [&](ExecutionCandidate& c) { c = reported(directory / "fifo", {}); }, failed},
        {"another version", 0, [](ExecutionCandidate& c) { ++c.version.changedNanoseconds; }, failed},
        {"appended to while examined", 1, appendWhileExamined, failed},
        {"path naming another signed file", 1, pathOfAnotherSignedFile, Verification{abc, unverified, none}},
        // (Unlinked by the replacement, the file the exec runs has changed too.)
        {"replaced at its path while examined", 1, replaceWhileExamined, failed},
    };
    // clang-format on
    for (const Claims& claims : {Claims{}, teamSigned}) {
        for (const auto& [name, codes, change, byItsContent] : cases) {
            SCOPED_TRACE(name + ", team " + claims.teamID);
            ExecutionCandidate candidate = tool(claims);
            change(candidate);
            signing.codesCreated = 0;
            EXPECT_EQ(identify(candidate), claims.teamID.empty() ? byItsContent : failed);
            EXPECT_EQ(signing.codesCreated, codes);
        }
    }
}

// A team-signed executable is identified by its pinned requirement, or not at all; anything else
// by its SHA-256 (up to 64 MiB), with the signature class of what is on disk.
TEST_F(ExecutableIdentificationTest, IdentifiesByPinnedRequirementOrByContentUpTo64MiB) {
    struct Case {
        std::string name, contents;  // or, with `size`, that many zero bytes
        bool signedOnDisk;
        std::string failing;  // the operation that fails, if any
        Claims claims;
        std::optional<Rule> rule;
        ExecutionExplanation::Signature signature;
        off_t size = 0;
    };
    const std::vector<Case> cases{
        {"unsigned on disk, reported ad hoc", "abc", false, "", adHocSigned, abc, unsigned_},
        {"signed without a team", "abc", true, "", {true, false, ""}, abc, unverified},
        {"invalid", "abc", true, "SecStaticCodeCheckValidity", adHocSigned, abc, unverified},
        {"last chunk partial", std::string(1'000'000, 'a'), false, "", {}, millionA, unsigned_},
        {"64 MiB", "", true, "", adHocSigned, zeros64MiB, adHoc, 67'108'864},
        {"one byte over 64 MiB", "", true, "", adHocSigned, none, unverified, 67'108'865},
        {"team signed", "abc", true, "", teamSigned, byTeam, verifiedPublisher},
        // A team-signed executable that fails is neither pinned nor hashed.
        {"team, no DR", "abc", true, "SecCodeCopyDesignatedRequirement", teamSigned, none,
         unverified},
        {"team, requirement unmet", "abc", true, "", {true, false, "TEAM9"}, none, unverified},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        FakeCodeSigning local;
        const fs::path file = directory.write("tool", test.contents);
        if (test.size > 0) {
            ASSERT_EQ(::truncate(file.c_str(), test.size), 0);
        }
        if (test.signedOnDisk) {
            local.sign(file, {"TEAM123", "com.example.tool", designated});
        }
        local.fail(test.failing);
        EXPECT_EQ(ExecutableIdentification(local, clock).identity(reported(file, test.claims)),
                  (Verification{test.rule, test.signature, none}));
    }
}

TEST_F(ExecutableIdentificationTest, MatchesRulesOfItsOwnKindOnlyAndStopsAtTheFirstMatch) {
    const ExecutionCandidate firstBuild = tool(teamSigned, "first build");
    replace(firstBuild.path, "second build, different content");
    const ExecutionCandidate later = reported(firstBuild.path, teamSigned);
    const Verification publisher = identify(later);
    ASSERT_EQ(publisher.rule, byTeam);
    const Verification content{abc, unsigned_, none};
    const Rule otherTeam{pinnedRequirement(designated, "TEAM999", "com.example.tool"), none};
    const std::vector<std::tuple<std::string, Verification, std::vector<Rule>, bool>> cases{
        {"signing rule of another team", publisher, {otherTeam}, false},
        {"later of two rules", publisher, {otherTeam, byTeam}, true},
        {"content rule, publisher identification", publisher, {abc}, false},
        {"both is a content rule", publisher, {Rule{byTeam.requirement, abc.sha256}}, false},
        {"content rule, same digest", content, {abc}, true},
        {"signing rule, content identification", content, {byTeam}, false},
        {"no identity", Verification::failed(), {byTeam, abc}, false},
    };
    const ExecutableIdentification identification(signing, clock);
    for (const auto& [name, verification, rules, matched] : cases)
        EXPECT_EQ(identification.matches(verification, rules, later), matched) << name;
    EXPECT_FALSE(identification.matches(publisher, {byTeam}, firstBuild)) << "changed since";
    // The first rule that matches decides: the second is never turned into a requirement.
    signing.requirementsCreated = 0;
    EXPECT_TRUE(identification.matches(publisher, {byTeam, Rule{designated, none}}, later));
    EXPECT_EQ(signing.requirementsCreated, 1);
}

TEST_F(ExecutableIdentificationTest, ReportsThePlausibleBirthTime) {
    const ExecutionCandidate file = reported(directory.write("tool", "abc"), {});
    struct statx status {};
    if (::statx(AT_FDCWD, file.path.c_str(), 0, STATX_BTIME, &status) != 0 ||
        (status.stx_mask & STATX_BTIME) == 0) {
        GTEST_SKIP() << "the file system of " << directory.path() << " reports no birth time";
    }
    const testing::FakeClock now(SystemClock().now());  // after the file was made
    const Date born = Date::fromUnixTime(static_cast<double>(status.stx_btime.tv_sec) +
                                         static_cast<double>(status.stx_btime.tv_nsec) / 1e9);
    EXPECT_EQ(ExecutableIdentification(signing, now).identity(file),
              (Verification{abc, unsigned_, born}));
    EXPECT_GT(born, now.now().addingTimeInterval(-5));
}

TEST(ExecutableIdentificationHelpersTest, PlausibleCreationTimeAcceptsTimesAfterTheEpochUpToNow) {
    const Date now = Date::fromUnixTime(1'700'000'000);
    const std::vector<std::tuple<std::int64_t, std::uint32_t, std::optional<Date>>> cases{
        {0, 0, none},
        {0, 1, Date::fromUnixTime(1e-9)},
        {1'700'000'000, 0, now},
        {1'700'000'000, 1'000'000, none},
    };
    for (const auto& [seconds, nanoseconds, created] : cases) {
        EXPECT_EQ(plausibleCreationTime(seconds, nanoseconds, now), created)
            << seconds << "." << nanoseconds;
    }
}

}  // namespace
}  // namespace quorin::daemon
