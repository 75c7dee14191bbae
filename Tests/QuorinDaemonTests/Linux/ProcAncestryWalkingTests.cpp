#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"

#include "QuorinCore/Attribution/AncestryWalker.hpp"
#include "TestSupport/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

TEST(ProcAncestryWalkingTest, ReadsTheParentPidAfterTheCommandName) {
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases{
        {"123 (bash) S 45 123 123 0 -1", 45},
        {"7 (a) b) c) R 9 7", 9},  // a command name with ") " in it
        {"7 (tab\tname) S 1 7", 1},
        {"7 (x) S 0 0", 0},
        {"7 (x) S -1", -1},
        {"7 (x) S 12abc 1", std::nullopt},
        {"7 (x) S", std::nullopt},
        {"7 (x)", std::nullopt},
        {"garbage", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [stat, parent] : cases) {
        EXPECT_EQ(ProcAncestryWalking::parentPid(stat), parent) << stat;
    }
    // Nothing for the top (its parent is the kernel) or a missing process.
    EXPECT_EQ(ProcAncestryWalking().parent(1), std::nullopt);
    EXPECT_EQ(ProcAncestryWalking().parent(INT_MAX), std::nullopt);
}

TEST(ProcAncestryWalkingTest, WalksARealProcessTreeNearestFirst) {
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
    const auto resolved = [](const char* path) {
        return std::filesystem::canonical(path).string();
    };
    ASSERT_GE(ancestry.size(), 3U);
    EXPECT_EQ(ancestry[0], (AttributionProcess{sh, resolved("/bin/sh"), {}, {}}));
    EXPECT_EQ(ancestry[1], (AttributionProcess{bash.pid(), resolved("/bin/bash"), {}, {}}));
    EXPECT_EQ(ancestry[2], (AttributionProcess{::getpid(), resolved("/proc/self/exe"), {}, {}}));
}

}  // namespace
}  // namespace quorin::daemon
