#pragma once

// The daemon as a process of its own for end-to-end tests: a private tmpfs that serves as the
// user's home, and the stand-in daemon marking only that mount, with its socket and storage
// beside it.

#include "TestSupport/ChildProcess.hpp"

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace quorin::daemon::testing {

/// Mounts the home at `directory`/home; `start` runs the stand-in on it (socket in
/// `directory`/run, storage in `directory`/protect, its log in `directory`/daemon.log) and
/// returns once the socket accepts connections. The stand-in is killed, and the mount detached,
/// when the object goes. Needs root: `mounted` tells whether the mount could be made.
class ScopedDaemon {
  public:
    explicit ScopedDaemon(const std::filesystem::path& directory)
        : home(directory / "home"),
          socket(directory / "run" / "com.brenmoor.quorin.daemon.xpc"),
          storage(directory / "protect"),
          log(directory / "daemon.log") {
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(socket.parent_path());
        mounted_ = ::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=32m,mode=0755") == 0;
    }

    ~ScopedDaemon() {
        process_.reset();
        if (mounted_) {
            ::umount2(home.c_str(), MNT_DETACH);
        }
    }

    ScopedDaemon(const ScopedDaemon&) = delete;
    ScopedDaemon& operator=(const ScopedDaemon&) = delete;

    bool mounted() const { return mounted_; }

    void start() {
        // The stand-in dies with the thread that started it, so it is started from the test's.
        process_ = std::make_unique<quorin::testing::RunningChildProcess>(
            QUORIN_SCOPED_DAEMON_PATH,
            std::vector<std::string>{home.string(), socket.parent_path().string(), storage.string(),
                                     home.string()},
            log.string());
        for (int attempt = 0; attempt < 1000; ++attempt) {
            if (accepts()) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        throw std::runtime_error("the stand-in daemon did not come up; see " + log.string());
    }

    /// Ends the stand-in at once, as a crash would.
    void kill() { process_.reset(); }

    pid_t pid() const { return process_ ? process_->pid() : -1; }

    const std::filesystem::path home;
    const std::filesystem::path socket;
    const std::filesystem::path storage;
    const std::filesystem::path log;

  private:
    bool accepts() const {
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        const bool connected =
            ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        return connected;
    }

    bool mounted_ = false;
    std::unique_ptr<quorin::testing::RunningChildProcess> process_;
};

}  // namespace quorin::daemon::testing
