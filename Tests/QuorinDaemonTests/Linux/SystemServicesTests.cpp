// The small Linux back ends: the clock, the account database, code signing, the facts about a
// process and its ancestry.

#include "QuorinCore/Attribution/AncestryWalker.hpp"
#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"
#include "QuorinDaemon/Platform/Linux/ProcPeerRequirement.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/SystemPasswordDatabase.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using quorin::testing::TemporaryDirectory;

TEST(SystemServicesTest, TheClockThePasswordDatabaseAndUnsignedCodeSigning) {
    const SystemClock clock;
    const std::uint64_t first = clock.absoluteTime();
    EXPECT_GE(clock.absoluteTime(), first);
    const double before = static_cast<double>(::time(nullptr));
    const double now = clock.now().unixTime();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2);
    const SystemPasswordDatabase passwords;
    EXPECT_EQ(passwords.homeDirectory(0), "/root");
    // The largest user id is reserved ((uid_t) -1) and never has an entry.
    EXPECT_EQ(passwords.homeDirectory(4'294'967'295U), std::nullopt);

    // Every readable file is unsigned code.
    const TemporaryDirectory directory;
    const std::string tool = directory.write("tool", "#!/bin/sh\n").string();
    UnsignedCodeSigning signing;
    const auto code = signing.SecStaticCodeCreateWithPath(tool);
    ASSERT_EQ(code.status, errSecSuccess);
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(*code.value, nullptr), errSecCSUnsigned);
    EXPECT_EQ(signing.SecCodeCopyDesignatedRequirement(*code.value).status, errSecCSUnsigned);
    // A file that cannot be read has no code, which is not the same as unsigned code.
    const std::string missing = (directory / "missing").string();
    EXPECT_EQ(signing.SecStaticCodeCreateWithPath(missing).status,
              UnsignedCodeSigning::unreadableFileStatus);
    EXPECT_EQ(signing.SecStaticCodeCheckValidity(SecStaticCode{missing}, nullptr),
              UnsignedCodeSigning::unreadableFileStatus);
}

TEST(ProcessFactsTest, ReadsTheUserAndExecutableAndTellsRootsFiles) {
    const std::optional<ProcessFacts> own = ProcessFacts::of(::getpid());
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->realUserID, ::getuid());
    EXPECT_EQ(own->executable, fs::read_symlink("/proc/self/exe").string());

    // A process table where the process has gone between the event and the read: the real user
    // comes from the Uid line only, and there is no executable.
    const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
        {nullptr, std::nullopt},  // no status file
        {"Name:\tsh\nUid:\t4294967295\t0\t0\t0\n", 4294967295U},
        {"Name:\tsh\nUid:\t4294967296\t0\n", std::nullopt},
        {"Name:\tsh\nUid:\t501", 501U},
        // A process name is the process's own choice: a "Uid:" inside it is not the line. The
        // real id is the first, not the effective one.
        {"Name:\tUid:\t0\nUid:\t501\t0\t0\t0\n", 501U},
        {"Name:\tsh\nUid:\t50x1\t0\n", std::nullopt},
    };
    const TemporaryDirectory proc;
    fs::create_directory(proc / "9");
    for (const auto& [status, realUserID] : cases) {
        SCOPED_TRACE(status ? status : "no status file");
        if (status) {
            proc.write("9/status", status);
        }
        const std::optional<ProcessFacts> facts = ProcessFacts::of(9, proc.path().string());
        EXPECT_EQ(facts ? std::optional(facts->realUserID) : std::nullopt, realUserID);
        EXPECT_EQ(facts ? facts->executable : "", "");
    }

    // A platform binary is a root's file in a system directory; a peer is admitted when its
    // executable is a file only root could have placed.
    const std::tuple<std::string, bool, bool> files[] = {
        {"/usr/bin/env", true, true},
        {"/etc/passwd", false, true},  // not in a system directory
        {"/usr/bin", false, false},    // a directory
        {"/usr/bin/no-such-tool", false, false},
        {proc.write("tool", "x").string(), false, false},  // under the world-writable /tmp
    };
    for (const auto& [path, platform, admitted] : files) {
        EXPECT_EQ(ProcessFacts::isPlatformBinary(path), platform) << path;
        EXPECT_EQ(ProcPeerRequirement::isProtectedExecutable(path), admitted) << path;
    }
    const ProcPeerRequirement requirement;
    EXPECT_EQ(requirement.satisfies(::getpid(), "anything"),
              ProcPeerRequirement::isProtectedExecutable(fs::read_symlink("/proc/self/exe")));
    EXPECT_FALSE(requirement.satisfies(-1, "anything"));
}

TEST(ProcAncestryWalkingTest, ReadsParentPidsAndWalksARealTreeNearestFirst) {
    const std::pair<std::string, std::optional<std::int32_t>> cases[] = {
        {"123 (bash) S 45 123 123 0 -1", 45},
        {"7 (a) b) c) R 9 7", 9},  // a command name with ") " in it
        {"7 (x) S -1", -1},
        {"7 (x) S 12abc 1", std::nullopt},
        {"7 (x) S", std::nullopt},
        {"garbage", std::nullopt},
    };
    for (const auto& [stat, parent] : cases) {
        EXPECT_EQ(ProcAncestryWalking::parentPid(stat), parent) << stat;
    }
    // Nothing for the top (its parent is the kernel) or a missing process.
    EXPECT_EQ(ProcAncestryWalking().parent(1), std::nullopt);
    EXPECT_EQ(ProcAncestryWalking().parent(INT_MAX), std::nullopt);

    // A real process tree, nearest first.
    // bash, sh, sleep; the trailing "; true" keeps bash from replacing itself with sh.
    quorin::testing::RunningChildProcess bash(
        "/bin/bash", {"-c", "/bin/sh -c '/bin/sleep 30 & echo $! $$; wait'; true"});
    const std::optional<std::string> line = bash.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(line.has_value());
    pid_t sleep = 0;
    pid_t sh = 0;
    std::istringstream(*line) >> sleep >> sh;
    const std::vector<AttributionProcess> ancestry =
        AncestryWalker::walk(sleep, ProcAncestryWalking());
    ::kill(sleep, SIGKILL);  // then sh ends, and bash with the object
    ASSERT_GE(ancestry.size(), 3U);
    EXPECT_EQ(ancestry[0], (AttributionProcess{sh, fs::canonical("/bin/sh"), {}, {}}));
    EXPECT_EQ(ancestry[1], (AttributionProcess{bash.pid(), fs::canonical("/bin/bash"), {}, {}}));
    EXPECT_EQ(ancestry[2],
              (AttributionProcess{::getpid(), fs::canonical("/proc/self/exe"), {}, {}}));
}

}  // namespace
}  // namespace quorin::daemon
