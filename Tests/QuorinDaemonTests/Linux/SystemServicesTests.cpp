// The small Linux back ends: the clock, the account database, code signing, the facts about a
// process and its ancestry.

#include "QuorinCore/Attribution/AncestryWalker.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"
#include "QuorinDaemon/Platform/Linux/ProcPeerRequirement.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/SystemPasswordDatabase.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"

#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
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

    // Every path is unsigned code, whatever it names (nothing is opened: a FIFO would stall).
    const TemporaryDirectory directory;
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    UnsignedCodeSigning signing;
    for (const fs::path& path :
         {directory.write("tool", "#!/bin/sh\n"), directory / "fifo", directory / "missing"}) {
        const auto code = signing.SecStaticCodeCreateWithPath(path);
        ASSERT_EQ(code.status, errSecSuccess) << path;
        EXPECT_EQ(signing.SecStaticCodeCheckValidity(*code.value, nullptr), errSecCSUnsigned);
        EXPECT_EQ(signing.SecCodeCopyDesignatedRequirement(*code.value).status, errSecCSUnsigned);
    }
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

    // A platform binary is a root's file in a system directory, never one installed by hand
    // below /usr/local or a shared root, judged by the file's own status.
    const auto status = [](uid_t owner, mode_t mode) {
        struct stat result {};
        result.st_uid = owner;
        result.st_mode = mode;
        return result;
    };
    const std::tuple<std::string, struct stat, bool> platform[] = {
        {"/usr/bin/env", status(0, S_IFREG | 0755), true},
        {"/lib64/ld-linux-x86-64.so.2", status(0, S_IFREG | 0755), true},
        {"/usr/localtools/x", status(0, S_IFREG | 0755), true},
        {"/usr/local/bin/tool", status(0, S_IFREG | 0755), false},
        {"/usr/local/sbin/tool", status(0, S_IFREG | 0755), false},
        {"/usr/local", status(0, S_IFREG | 0755), false},
        {"/etc/passwd", status(0, S_IFREG | 0755), false},  // not in a system directory
        {"/usr/bin/tool", status(1000, S_IFREG | 0755), false},
        {"/usr/bin/tool", status(0, S_IFREG | 0775), false},
        {"/usr/bin/tool", status(0, S_IFREG | 0757), false},
        {"/usr/bin", status(0, S_IFDIR | 0755), false},
    };
    for (const auto& [path, file, expected] : platform) {
        EXPECT_EQ(ProcessFacts::isPlatformBinary(path, file), expected) << path;
    }
    // Only root can give a file another path when it and every folder above it are root's and
    // no folder lets others change its entries, unless sticky.
    const auto placedIn = [&proc](const std::string& name, mode_t mode, uid_t owner) {
        fs::create_directory(proc / name);
        EXPECT_EQ(::chmod((proc / name).c_str(), mode), 0);
        EXPECT_EQ(::chown((proc / name).c_str(), owner, 0), 0);
        return (proc / name / "tool").string();
    };
    const std::tuple<std::string, struct stat, bool> placements[] = {
        {placedIn("closed", 0755, 0), status(0, S_IFREG | 0755), true},
        {placedIn("sticky", 01777, 0), status(0, S_IFREG | 0755), true},
        {placedIn("open", 0777, 0), status(0, S_IFREG | 0755), false},
        {placedIn("group", 0775, 0), status(0, S_IFREG | 0755), false},
        {placedIn("theirs", 0755, 1000), status(0, S_IFREG | 0755), false},
        {placedIn("closed", 0755, 0), status(1000, S_IFREG | 0755), false},
        {placedIn("closed", 0755, 0), status(0, S_IFREG | 0775), false},
        {placedIn("closed", 0755, 0), status(0, S_IFDIR | 0755), false},
        {"closed/tool", status(0, S_IFREG | 0755), false},  // not absolute
        {(proc / "no-such-folder/tool").string(), status(0, S_IFREG | 0755), false},
    };
    for (const auto& [path, file, expected] : placements) {
        EXPECT_EQ(ProcessFacts::onlyRootCanRelocate(path, file), expected) << path;
    }
    // A peer is admitted when its executable is a file only root could have placed.
    const std::pair<std::string, bool> files[] = {
        {"/usr/bin/env", true},
        {"/etc/passwd", true},
        {"/usr/bin", false},  // a directory
        {"/usr/bin/no-such-tool", false},
        {proc.write("tool", "x").string(), false},  // under the world-writable /tmp
    };
    for (const auto& [path, admitted] : files) {
        EXPECT_EQ(ProcPeerRequirement::isProtectedExecutable(path), admitted) << path;
    }
    // An open file's path is the one that names it now, or none. The deepest file's path is
    // longer than any path a call takes, so it is made folder by folder.
    const std::string folder(250, 'd');
    ASSERT_EQ(::chdir(proc.path().c_str()), 0);
    for (std::size_t length = proc.path().string().size(); length <= PATH_MAX;
         length += folder.size() + 1) {
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0) << std::strerror(errno);
        ASSERT_EQ(::chdir(folder.c_str()), 0);
    }
    const int deepFile = ::open("tool", O_RDWR | O_CREAT | O_CLOEXEC, 0700);
    ASSERT_EQ(::chdir("/"), 0);
    const std::string renamed = (proc / "renamed").string();
    const std::string deleted = (proc / "tool (deleted)").string();
    // Opens the file `name` of `proc` with "x" in it, then does `after` to the directory.
    const auto openThen = [&](
                              const char* name, std::function<void()> after = [] {}) {
        return [&proc, name, after] {
            const int descriptor = ::open(proc.write(name, "x").c_str(), O_RDONLY);
            after();
            return descriptor;
        };
    };
    // clang-format off
    const std::vector<std::tuple<std::string, std::function<int()>, std::string>> opened{
        {"a file", openThen("plain"), (proc / "plain").string()},
        {"a name that looks made up", openThen("tool (deleted)"), deleted},
        {"renamed once open", openThen("moved", [&] { fs::rename(proc / "moved", renamed); }), renamed},
        {"deleted once open", openThen("gone", [&] { fs::remove(proc / "gone"); }), ""},
        {"unlinked at the name it was opened by, linked at another", openThen("first", [&] {
             fs::create_hard_link(proc / "first", proc / "second");
             fs::remove(proc / "first");
         }), ""},
        {"in memory", [] { return ::memfd_create("tool", MFD_CLOEXEC); }, ""},
        {"longer than a path may be", [&] { return deepFile; }, ""},
    };
    // clang-format on
    for (const auto& [name, open, path] : opened) {
        const UniqueFd descriptor(open());
        struct stat found {};
        ASSERT_EQ(::fstat(descriptor.get(), &found), 0) << name;
        EXPECT_EQ(ProcessFacts::pathOfOpenFile(descriptor.get(), found), path) << name;
    }
    fs::remove_all(proc / folder);

    const ProcPeerRequirement requirement;
    EXPECT_EQ(requirement.satisfies(::getpid(), "anything"),
              ProcPeerRequirement::isProtectedExecutable(fs::read_symlink("/proc/self/exe")));
    EXPECT_FALSE(requirement.satisfies(-1, "anything"));
}

TEST(ProcAncestryWalkingTest, ReadsParentPidsAndWalksARealTreeNearestFirst) {
    // Fields 3 to 21 of a whole line, then the start time and two more.
    const std::string upToStart = " S 1 42 42 0 -1 4194560 91 0 0 0 0 0 0 0 20 0 1 0 ";
    const struct {
        std::string stat;
        std::optional<std::int32_t> parent;
        std::optional<ProcessStatus> status = std::nullopt;
    } cases[] = {
        {"123 (bash) S 45 123 123 0 -1", 45},
        {"7 (a) b) c) R 9 7", 9},  // a command name with ") " in it
        {"7 (x) S -1", -1},
        {"7 (x) S 12abc 1", std::nullopt},
        {"7 (x) S", std::nullopt},
        {"garbage", std::nullopt},
        {"42 (a) b)" + upToStart + "1234567 8192 100\n", 1, ProcessStatus{1234567, 1}},
        {"42 (a)" + upToStart + "18446744073709551615 8192", 1, ProcessStatus{UINT64_MAX, 1}},
        {"42 (a)" + upToStart + "18446744073709551616 8192", 1},
        {"42 (a)" + upToStart + "12x 8192", 1},
        {"42 (a)" + upToStart, 1},
    };
    for (const auto& [stat, parent, status] : cases) {
        EXPECT_EQ(ProcAncestryWalking::parentPid(stat), parent) << stat;
        EXPECT_EQ(ProcAncestryWalking::statusIn(stat), status) << stat;
    }
    // Nothing for the top (its parent is the kernel) or a missing process.
    EXPECT_EQ(ProcAncestryWalking().parent(1), std::nullopt);
    EXPECT_EQ(ProcAncestryWalking().parent(INT_MAX), std::nullopt);
    EXPECT_EQ(ProcAncestryWalking().status(INT_MAX), std::nullopt);
    EXPECT_EQ(ProcAncestryWalking().status(::getpid()),
              (ProcessStatus{ProcessFacts::startTime(::getpid()).value(), ::getppid()}));

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
