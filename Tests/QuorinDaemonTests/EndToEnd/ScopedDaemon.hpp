#pragma once

// The daemon as a process of its own for end-to-end and fault tests: the stand-in
// (`QuorinScopedDaemon`), the daemon's own composition on the real back ends marking only one
// private mount, run as a child that a test may kill and start again whenever it likes.

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

/// The stand-in as a child process. `start` returns once its socket accepts connections (a
/// socket a killed predecessor left behind does not count); `kill` is SIGKILL and a wait, so
/// nothing of the daemon runs after it returns. The stand-in dies with the thread that started
/// it, so it is started from the test's own thread. Its log (and any sanitizer report) is
/// appended to `log`.
class ScopedDaemonProcess {
  public:
    struct Places {
        std::filesystem::path mount;
        std::filesystem::path socketDirectory;
        std::filesystem::path protectionDirectory;
        std::filesystem::path home;
        std::filesystem::path log;
    };

    explicit ScopedDaemonProcess(Places places) : places_(std::move(places)) {}

    void start() {
        kill();
        process_ = std::make_unique<quorin::testing::RunningChildProcess>(
            QUORIN_SCOPED_DAEMON_PATH,
            std::vector<std::string>{places_.mount, places_.socketDirectory,
                                     places_.protectionDirectory, places_.home},
            places_.log);
        for (int attempt = 0; attempt < 2000; ++attempt) {
            if (accepts()) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        kill();
        throw std::runtime_error("the stand-in daemon did not come up; see " +
                                 places_.log.string());
    }

    void kill() { process_.reset(); }

    std::filesystem::path socket() const {
        return places_.socketDirectory / "com.brenmoor.quorin.daemon.xpc";
    }

  private:
    bool accepts() const {
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket().c_str(), sizeof address.sun_path - 1);
        const bool connected =
            ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        return connected;
    }

    Places places_;
    std::unique_ptr<quorin::testing::RunningChildProcess> process_;
};

/// A private tmpfs mounted at `directory`/home that serves as the user's home, and the stand-in
/// on it: socket in `directory`/run, storage in `directory`/protect, log in
/// `directory`/daemon.log. The stand-in is killed, and the mount detached, when the object goes.
/// Needs root: `mounted` tells whether the mount could be made.
class ScopedDaemon {
  public:
    explicit ScopedDaemon(const std::filesystem::path& directory)
        : home(directory / "home"),
          log(directory / "daemon.log"),
          process_({home, directory / "run", directory / "protect", home, log}) {
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(directory / "run");
        mounted_ = ::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=32m,mode=0755") == 0;
    }

    ~ScopedDaemon() {
        process_.kill();
        if (mounted_) {
            ::umount2(home.c_str(), MNT_DETACH);
        }
    }

    ScopedDaemon(const ScopedDaemon&) = delete;
    ScopedDaemon& operator=(const ScopedDaemon&) = delete;

    bool mounted() const { return mounted_; }
    void start() { process_.start(); }
    /// Ends the stand-in at once, as a crash would.
    void kill() { process_.kill(); }
    std::filesystem::path socket() const { return process_.socket(); }

    const std::filesystem::path home;
    const std::filesystem::path log;

  private:
    bool mounted_ = false;
    ScopedDaemonProcess process_;
};

}  // namespace quorin::daemon::testing
