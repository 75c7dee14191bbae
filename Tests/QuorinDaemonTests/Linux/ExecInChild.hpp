#pragma once

// Real execs for the tests of exec authorization, made by child processes that may be held.

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <future>

namespace quorin::daemon::testing {

/// Execs `program` in a child and gives its exit status: the program's own when it ran, or the
/// errno of a refused exec.
inline int execInChild(const std::filesystem::path& program) {
    const pid_t child = ::fork();
    if (child == 0) {
        // Like any process but the daemon, the child holds none of the test's descriptors: a
        // held exec would otherwise keep them open, such as a fanotify group of the test (which
        // would then never close) or the pipes of a client run meanwhile (which would never end).
        ::close_range(3, ~0U, 0);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(errno);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// `execInChild` on a thread of its own, for an exec the test answers while it waits.
inline std::future<int> launchExecInChild(const std::filesystem::path& program) {
    return std::async(std::launch::async, [program] { return execInChild(program); });
}

}  // namespace quorin::daemon::testing
