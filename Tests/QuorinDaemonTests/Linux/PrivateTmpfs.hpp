#pragma once

// Tests that need root. Each owns a tmpfs mounted on a fresh folder, the only thing it marks,
// fills or remounts, and runs under a watchdog: should it hang, an alarm ends the test process,
// and with it its fanotify groups (the kernel then lets every held exec through) and any stand-in
// daemon it started.

#include "Service/SocketPeer.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <fstream>
#include <iterator>

namespace quorin::daemon::testing {

class PrivateTmpfsTest : public ::testing::Test {
  protected:
    explicit PrivateTmpfsTest(std::string options = "size=32m,mode=0755")
        : options_(std::move(options)) {}

    /// A fixture's own SetUp calls this first and returns when `IsSkipped()`.
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to mount a private file system";
        }
        ::alarm(120);
        std::filesystem::create_directory(mountPoint);
        mounted_ = ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options_.c_str()) == 0;
        if (!mounted_) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
    }

    void TearDown() override {
        if (mounted_) {
            ::umount2(mountPoint.c_str(), MNT_DETACH);
        }
        ::alarm(0);
    }

    /// Makes the whole file system read-only, or writable again.
    void remount(bool readOnly) {
        const unsigned long flags = readOnly ? MS_REMOUNT | MS_RDONLY : MS_REMOUNT;
        ASSERT_EQ(::mount(nullptr, mountPoint.c_str(), nullptr, flags, nullptr), 0) << errno;
    }

    quorin::testing::TemporaryDirectory directory;
    const std::filesystem::path mountPoint = directory / "mnt";

  private:
    std::string options_;
    bool mounted_ = false;
};

/// The bytes of a file, or nothing when it cannot be opened.
inline std::optional<std::string> contentsOf(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return stream ? std::optional(std::string(std::istreambuf_iterator<char>(stream), {}))
                  : std::nullopt;
}

/// The names in a directory that a save leaves only when it was interrupted: "." + a UUID.
inline std::vector<std::string> temporaryNames(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (const std::string name = entry.path().filename(); name.starts_with('.')) {
            names.push_back(name);
        }
    }
    return names;
}

/// The daemon as a process of its own: the stand-in (`QuorinScopedDaemon`), the daemon's own
/// composition on the real back ends marking only the private mount `mount`, which also serves as
/// every user's home, in `environment` and through `launcher`. Its socket is in `directory`/run,
/// its storage in `protection` and its log (and any sanitizer report) is appended to
/// `directory`/daemon.log. `start` returns once its socket accepts connections (a socket a killed
/// predecessor left behind does not count); `kill` is SIGKILL and a wait, so nothing of the daemon
/// runs after it returns. The stand-in dies with the thread that started it, so it is started from
/// the test's own thread.
struct ScopedDaemonProcess {
    ScopedDaemonProcess(std::filesystem::path mountPoint, std::filesystem::path testDirectory,
                        std::filesystem::path protectionDirectory)
        : mount(std::move(mountPoint)),
          directory(std::move(testDirectory)),
          protection(std::move(protectionDirectory)) {}

    void start() {
        kill();
        std::filesystem::create_directories(directory / "run");
        std::vector<std::string> command = launcher;
        command.insert(command.end(),
                       {QUORIN_SCOPED_DAEMON_PATH, mount, directory / "run", protection, mount});
        process = std::make_unique<quorin::testing::RunningChildProcess>(
            command.front(), std::vector<std::string>(command.begin() + 1, command.end()), log(),
            environment);
        for (int attempt = 0; attempt < 2000; ++attempt) {
            try {
                const SocketPeer probe(socket().string());
                return;
            } catch (const std::runtime_error&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        kill();
        throw std::runtime_error("the stand-in daemon did not come up; see " + log().string());
    }
    void kill() { process.reset(); }
    std::filesystem::path socket() const {
        return directory / "run" / "com.brenmoor.quorin.daemon.xpc";
    }
    std::filesystem::path log() const { return directory / "daemon.log"; }

    std::filesystem::path mount;
    std::filesystem::path directory;
    std::filesystem::path protection;
    /// The stand-in's environment; the test's own when absent.
    std::optional<std::vector<std::string>> environment;
    /// A program and its arguments that run the stand-in's command line in their place (such as
    /// setpriv); none when it runs itself.
    std::vector<std::string> launcher;
    std::unique_ptr<quorin::testing::RunningChildProcess> process;
};

}  // namespace quorin::daemon::testing
