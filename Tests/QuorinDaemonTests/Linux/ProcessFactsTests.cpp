#include "QuorinDaemon/Platform/Linux/ProcPeerRequirement.hpp"
#include "QuorinDaemon/Platform/Linux/ProcessFacts.hpp"

#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

namespace quorin::daemon {
namespace {

TEST(ProcessFactsTest, ReadsTheRealUserAndExecutableOfAProcess) {
    const std::optional<ProcessFacts> own = ProcessFacts::of(::getpid());
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->realUserID, ::getuid());
    EXPECT_EQ(own->executable, std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(ProcessFacts::of(-1), std::nullopt);

    // A process table where the process has gone between the event and the read: the real user
    // comes from the Uid line only, and there is no executable.
    struct Case {
        const char* status;  // none: no status file
        std::optional<std::uint32_t> realUserID;
    };
    const Case cases[] = {
        {nullptr, std::nullopt},
        {"Uid:\t0\t0\t0\t0\n", 0U},
        {"Name:\tsh\nUid:\t4294967295\t0\t0\t0\n", 4294967295U},
        {"Name:\tsh\nUid:\t501\n", 501U},
        {"Name:\tsh\nUid:\t501", 501U},
        // A process name is the process's own choice: a "Uid:" inside it is not the line. The
        // real id is the first, not the effective one.
        {"Name:\tUid:\t0\nUid:\t501\t0\t0\t0\n", 501U},
        {"Name:\tUid:\t0\n", std::nullopt},
        {"Name:\tsh\nUid:\t4294967296\t0\n", std::nullopt},
        {"Name:\tsh\nUid:\t-1\t0\n", std::nullopt},
        {"Name:\tsh\nUid:\t50x1\t0\n", std::nullopt},
        {"Name:\tsh\nUid:\n", std::nullopt},
        {"", std::nullopt},
    };
    const quorin::testing::TemporaryDirectory proc;
    std::filesystem::create_directory(proc / "9");
    for (const Case& test : cases) {
        SCOPED_TRACE(test.status ? test.status : "no status file");
        if (test.status) {
            proc.write("9/status", test.status);
        }
        const std::optional<ProcessFacts> facts = ProcessFacts::of(9, proc.path().string());
        EXPECT_EQ(facts ? std::optional(facts->realUserID) : std::nullopt, test.realUserID);
        EXPECT_EQ(facts ? facts->executable : "", "");
    }
}

// A platform binary is a root's file in a system directory; a peer is admitted when its executable
// is a file only root could have placed.
TEST(ProcessFactsTest, PlatformBinariesAndAdmittedPeersAreRootsFiles) {
    const quorin::testing::TemporaryDirectory temporary;  // under the world-writable /tmp
    struct Case {
        std::string path;
        bool platform;
        bool admitted;
    };
    const Case cases[] = {
        {"/usr/bin/env", true, true},
        {"/etc/passwd", false, true},  // not in a system directory
        {"usr/bin/env", false, false},
        {"/usr/bin", false, false},  // a directory
        {"/usrx/bin/env", false, false},
        {"/usr/bin/no-such-tool", false, false},
        {temporary.write("tool", "x").string(), false, false},
        {"", false, false},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(ProcessFacts::isPlatformBinary(test.path), test.platform) << test.path;
        EXPECT_EQ(ProcPeerRequirement::isProtectedExecutable(test.path), test.admitted)
            << test.path;
    }
    const ProcPeerRequirement requirement;
    EXPECT_EQ(requirement.satisfies(::getpid(), "anything"),
              ProcPeerRequirement::isProtectedExecutable(
                  std::filesystem::read_symlink("/proc/self/exe").string()));
    EXPECT_FALSE(requirement.satisfies(-1, "anything"));
}

}  // namespace
}  // namespace quorin::daemon
