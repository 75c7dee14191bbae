#pragma once

// Runs programs as child processes: to the end, collecting what they printed, or alongside the
// test.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace quorin::testing {

struct ChildProcessResult {
    std::optional<int> exitStatus;  // absent when a signal ended the process
    std::optional<int> signal;
    std::string out;
    std::string err;
    bool timedOut = false;
};

namespace detail {

inline void check(int result, const char* what) {
    if (result != 0) {
        throw std::system_error(result == -1 ? errno : result, std::generic_category(), what);
    }
}

class Pipe {
  public:
    Pipe() { check(::pipe2(ends_.data(), O_CLOEXEC), "pipe2"); }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int read() const { return ends_[0]; }
    int write() const { return ends_[1]; }
    void closeRead() { close(ends_[0]); }
    void closeWrite() { close(ends_[1]); }

  private:
    static void close(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    std::array<int, 2> ends_{-1, -1};
};

// The null-terminated array of C strings that exec takes; `texts` must outlive it.
inline std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

inline int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    return status;
}

}  // namespace detail

/// Runs `program` with `arguments` (not including the program name), standard input read from the
/// file `standardInput`, and the environment given (the test's own when absent). A child still
/// running after `timeout` is killed and reported as timed out, so a client that blocks cannot hang
/// the test run.
inline ChildProcessResult runChildProcess(
    const std::string& program, const std::vector<std::string>& arguments,
    const std::optional<std::vector<std::string>>& environment = std::nullopt,
    std::chrono::milliseconds timeout = std::chrono::seconds(30),
    const std::string& standardInput = "/dev/null") {
    detail::Pipe out;
    detail::Pipe err;
    posix_spawn_file_actions_t actions;
    detail::check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    posix_spawn_file_actions_addopen(&actions, 0, standardInput.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write(), 2);

    std::vector<std::string> argumentTexts{program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = detail::pointers(argumentTexts);
    std::vector<std::string> environmentTexts = environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp = detail::pointers(environmentTexts);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(),
                                    environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    detail::check(spawned, "posix_spawn");
    out.closeWrite();
    err.closeWrite();

    ChildProcessResult result;
    std::array<pollfd, 2> fds{pollfd{out.read(), POLLIN, 0}, pollfd{err.read(), POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (std::size_t index = 0; index < fds.size(); ++index) {
            if (fds[index].fd < 0 || fds[index].revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t count = ::read(fds[index].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[index]->append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                fds[index].fd = -1;  // end of output; the pipe closes itself
            }
        }
    }
    const int status = detail::reap(pid);
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

/// A child process that keeps running while the test works beside it, such as a daemon or a
/// watching client. Its standard output is read line by line, each read bounded in time; its
/// standard error goes to the file `errorFile`. It is killed and reaped when the object goes, so
/// no test leaves one behind.
class RunningChildProcess {
  public:
    RunningChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& errorFile = "/dev/null") {
        detail::Pipe out;
        posix_spawn_file_actions_t actions;
        detail::check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out.write(), 1);
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        std::vector<std::string> argumentTexts{program};
        argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv = detail::pointers(argumentTexts);
        const int spawned =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        detail::check(spawned, "posix_spawn");
        out_ = ::dup(out.read());
        ::fcntl(out_, F_SETFD, FD_CLOEXEC);
    }

    ~RunningChildProcess() {
        stop();
        if (out_ >= 0) {
            ::close(out_);
        }
    }

    RunningChildProcess(const RunningChildProcess&) = delete;
    RunningChildProcess& operator=(const RunningChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    /// The next line the child wrote, without its newline; nothing when none came within
    /// `timeout` or the child closed its output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0) {
                return std::nullopt;
            }
            char buffer[65536];
            const ssize_t count = ::read(out_, buffer, sizeof buffer);
            if (count == 0 || (count < 0 && errno != EINTR)) {
                return std::nullopt;
            }
            if (count > 0) {
                pending_.append(buffer, static_cast<std::size_t>(count));
            }
        }
    }

    /// Kills the child (SIGKILL) unless it has already been stopped, and gives its wait status.
    int stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            status_ = detail::reap(pid_);
            pid_ = -1;
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = 0;
    std::string pending_;
};

}  // namespace quorin::testing
