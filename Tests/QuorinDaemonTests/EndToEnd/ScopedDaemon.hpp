#pragma once

// The daemon as a process of its own for end-to-end and fault tests: the stand-in
// (`QuorinScopedDaemon`), the daemon's own composition on the real back ends marking only one
// private mount, which also serves as every user's home.

#include "Service/SocketPeer.hpp"
#include "TestSupport/ChildProcess.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace quorin::daemon::testing {

/// The stand-in on `mount`, with its socket in `directory`/run, its storage in `protection` and
/// its log (and any sanitizer report) appended to `directory`/daemon.log. `start` returns once
/// its socket accepts connections (a socket a killed predecessor left behind does not count);
/// `kill` is SIGKILL and a wait, so nothing of the daemon runs after it returns. The stand-in
/// dies with the thread that started it, so it is started from the test's own thread.
class ScopedDaemonProcess {
  public:
    ScopedDaemonProcess(std::filesystem::path mount, const std::filesystem::path& directory,
                        std::filesystem::path protection)
        : mount_(std::move(mount)),
          run_(directory / "run"),
          protection_(std::move(protection)),
          log_(directory / "daemon.log") {}

    void start() {
        kill();
        std::filesystem::create_directories(run_);
        process_ = std::make_unique<quorin::testing::RunningChildProcess>(
            QUORIN_SCOPED_DAEMON_PATH, std::vector<std::string>{mount_, run_, protection_, mount_},
            log_);
        for (int attempt = 0; attempt < 2000; ++attempt) {
            try {
                const SocketPeer probe(socket().string());
                return;
            } catch (const std::runtime_error&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        kill();
        throw std::runtime_error("the stand-in daemon did not come up; see " + log_.string());
    }

    void kill() { process_.reset(); }

    std::filesystem::path socket() const { return run_ / "com.brenmoor.quorin.daemon.xpc"; }
    const std::filesystem::path& log() const { return log_; }

  private:
    std::filesystem::path mount_;
    std::filesystem::path run_;
    std::filesystem::path protection_;
    std::filesystem::path log_;
    std::unique_ptr<quorin::testing::RunningChildProcess> process_;
};

}  // namespace quorin::daemon::testing
