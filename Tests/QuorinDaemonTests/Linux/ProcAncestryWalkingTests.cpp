#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"

#include "QuorinCore/Attribution/AncestryWalker.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

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
}

TEST(ProcAncestryWalkingTest, NothingForTheTopOrAMissingProcess) {
    const ProcAncestryWalking walking;
    EXPECT_EQ(walking.parent(1), std::nullopt);  // its parent is the kernel
    EXPECT_EQ(walking.parent(INT_MAX), std::nullopt);
}

std::string resolved(const std::string& path) {
    return std::filesystem::canonical(path).string();
}

// bash → sh → sleep, spawned in a process group of their own and killed with it.
class ProcessTree {
  public:
    ProcessTree() {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        // The trailing "; true" keeps bash from replacing itself with sh.
        std::vector<std::string> arguments{"/bin/bash", "-c",
                                           "/bin/sh -c '/bin/sleep 30 & echo $! $$; wait'; true"};
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int status =
            posix_spawn(&bash, "/bin/bash", &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(pipe[1]);
        if (status != 0) {
            ::close(pipe[0]);
            throw std::runtime_error("posix_spawn");
        }
        std::string line;
        char character = 0;
        while (::read(pipe[0], &character, 1) == 1 && character != '\n') {
            line += character;
        }
        ::close(pipe[0]);
        std::istringstream(line) >> sleep >> sh;
    }

    ~ProcessTree() {
        ::kill(-bash, SIGKILL);
        ::waitpid(bash, nullptr, 0);
    }

    pid_t bash = 0;
    pid_t sh = 0;
    pid_t sleep = 0;
};

TEST(ProcAncestryWalkingTest, WalksARealProcessTreeNearestFirst) {
    const ProcessTree tree;
    ASSERT_GT(tree.sleep, 0);
    ASSERT_GT(tree.sh, 0);
    const std::vector<AttributionProcess> ancestry =
        AncestryWalker::walk(tree.sleep, ProcAncestryWalking());
    ASSERT_GE(ancestry.size(), 3U);
    EXPECT_EQ(ancestry[0], (AttributionProcess{tree.sh, resolved("/bin/sh"), {}, {}}));
    EXPECT_EQ(ancestry[1], (AttributionProcess{tree.bash, resolved("/bin/bash"), {}, {}}));
    EXPECT_EQ(ancestry[2], (AttributionProcess{getpid(), resolved("/proc/self/exe"), {}, {}}));
}

}  // namespace
}  // namespace quorin::daemon
