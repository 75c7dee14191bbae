#pragma once

// Runs programs as child processes: to the end, collecting what they printed, or alongside the
// test.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace quorin::testing {

struct ChildProcessResult {
    std::optional<int> exitStatus;  // absent when a signal ended the process
    std::string out;
    std::string err;
};

namespace detail {

inline int check(int result, const char* what) {
    return result < 0 ? throw std::system_error(errno, std::generic_category(), what) : result;
}

/// Spawns `program` in `environment` (the test's own when absent) with standard input read from
/// the file `input` and standard output and error written to `out` and `err`.
inline pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
                   const std::optional<std::vector<std::string>>& environment,
                   const std::string& input, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    // exec takes null-terminated arrays of C strings.
    std::vector<std::string> texts[2] = {{program},
                                         environment.value_or(std::vector<std::string>{})};
    texts[0].insert(texts[0].end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers[2];
    for (int index = 0; index < 2; ++index) {
        for (std::string& text : texts[index]) {
            pointers[index].push_back(text.data());
        }
        pointers[index].push_back(nullptr);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, pointers[0].data(),
                                    environment ? pointers[1].data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::system_error(spawned, std::generic_category(), "posix_spawn");
    }
    return pid;
}

inline int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        check(errno == EINTR ? 0 : -1, "waitpid");
    }
    return status;
}

// Everything written to the file `fd` from its start; the file is closed.
inline std::string readAll(int fd) {
    std::ifstream stream("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
    std::string contents(std::istreambuf_iterator<char>(stream), {});
    ::close(fd);
    return contents;
}

}  // namespace detail

/// Runs `program` with `arguments` (not including the program name), standard input read from the
/// file `standardInput`, and the environment given (the test's own when absent). A child still
/// running after `timeout` is killed, so a client that blocks cannot hang the test run.
inline ChildProcessResult runChildProcess(
    const std::string& program, const std::vector<std::string>& arguments,
    const std::optional<std::vector<std::string>>& environment = std::nullopt,
    std::chrono::milliseconds timeout = std::chrono::seconds(30),
    const std::string& standardInput = "/dev/null") {
    // The output goes to files in memory, read once the child has ended.
    const int out = detail::check(::memfd_create("out", MFD_CLOEXEC), "memfd_create");
    const int err = detail::check(::memfd_create("err", MFD_CLOEXEC), "memfd_create");
    const pid_t pid = detail::spawn(program, arguments, environment, standardInput, out, err);
    auto ended = std::async(std::launch::async, [pid] { return detail::reap(pid); });
    if (ended.wait_for(timeout) == std::future_status::timeout) {
        ::kill(pid, SIGKILL);
    }
    const int status = ended.get();
    return {WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt,
            detail::readAll(out), detail::readAll(err)};
}

/// A child process that keeps running while the test works beside it, such as a daemon or a
/// watching client. Its standard output is read line by line, each read bounded in time; its
/// standard error is appended to the file `errorFile`. It runs in `environment` (the test's own
/// when absent). It is killed and reaped when the object goes, so no test leaves one behind.
class RunningChildProcess {
  public:
    RunningChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& errorFile = "/dev/null",
                        const std::optional<std::vector<std::string>>& environment = std::nullopt) {
        int ends[2];
        detail::check(::pipe2(ends, O_CLOEXEC), "pipe2");
        const int err = detail::check(
            ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600), "open");
        out_ = ends[0];
        pid_ = detail::spawn(program, arguments, environment, "/dev/null", ends[1], err);
        ::close(ends[1]);
        ::close(err);
    }
    ~RunningChildProcess() {
        ::kill(pid_, SIGKILL);
        detail::reap(pid_);
        ::close(out_);
    }
    RunningChildProcess(const RunningChildProcess&) = delete;
    RunningChildProcess& operator=(const RunningChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    /// The next line the child wrote, without its newline; nothing when none came within
    /// `timeout` or the child closed its output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t end = 0;
        while ((end = pending_.find('\n')) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{out_, POLLIN, 0};
            char buffer[65536];
            ssize_t count = 0;
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
                (count = ::read(out_, buffer, sizeof buffer)) <= 0) {
                return std::nullopt;
            }
            pending_.append(buffer, static_cast<std::size_t>(count));
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

/// Execs `program` in a child and gives its exit status: the program's own when it ran, or the
/// errno of a refused exec. With `user`, the child first becomes that user (and the group with
/// the same number, and no other).
inline int execInChild(const std::filesystem::path& program,
                       std::optional<uid_t> user = std::nullopt) {
    const pid_t child = ::fork();
    if (child == 0) {
        // Like any process but the daemon, the child holds none of the test's descriptors: a
        // held exec would otherwise keep them open, such as a fanotify group of the test (which
        // would then never close) or the pipes of a client run meanwhile (which would never end).
        ::close_range(3, ~0U, 0);
        if (user && (::setgroups(0, nullptr) != 0 || ::setresgid(*user, *user, *user) != 0 ||
                     ::setresuid(*user, *user, *user) != 0)) {
            ::_exit(errno);
        }
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(errno);
    }
    const int status = detail::reap(child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Like `execInChild`, but the child opens `program`, deletes it, and then runs the open file: an
/// exec of a file with no path.
inline int execDeletedInChild(const std::filesystem::path& program) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::close_range(3, ~0U, 0);
        const int opened = ::open(program.c_str(), O_RDONLY);
        char* const arguments[] = {const_cast<char*>("deleted"), nullptr};
        if (opened >= 0 && ::unlink(program.c_str()) == 0) {
            ::fexecve(opened, arguments, environ);
        }
        ::_exit(errno);
    }
    const int status = detail::reap(child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// `execInChild` on a thread of its own, for an exec the test answers while it waits.
inline std::future<int> launchExecInChild(const std::filesystem::path& program,
                                          std::optional<uid_t> user = std::nullopt) {
    return std::async(std::launch::async, [program, user] { return execInChild(program, user); });
}

}  // namespace quorin::testing
