#pragma once

// Shared machinery of the fault tests: a private tmpfs that a test may remount read-only or fill
// up, and file helpers. It needs root; a test checks `isRoot` first and skips with its own reason.

#include "Service/SocketPeer.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quorin::daemon::testing {

inline bool isRoot() {
    return ::geteuid() == 0;
}

/// The bytes of a file, or nothing when it cannot be opened.
inline std::optional<std::string> contentsOf(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

/// Replaces the file's contents with `bytes`, byte for byte (an existing file keeps its mode).
inline void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!stream.flush()) {
        throw std::runtime_error("could not write " + file.string());
    }
}

/// The names in a directory that a save leaves only when it was interrupted: "." + a UUID.
inline std::vector<std::string> temporaryNames(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename();
        if (name.starts_with('.')) {
            names.push_back(name);
        }
    }
    return names;
}

/// A fixture whose test owns a tmpfs mounted on a fresh folder. The mount is detached in
/// `TearDown`, and an alarm ends the whole test process (and with it any stand-in it started)
/// when a test hangs.
class TmpfsFaultTest : public ::testing::Test {
  protected:
    /// Mounts a tmpfs with `options` at `mountPoint`; false when the kernel refuses.
    bool mountTmpfs(const std::string& options) {
        ::alarm(watchdogSeconds);
        std::filesystem::create_directory(mountPoint);
        mounted_ = ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) == 0;
        return mounted_;
    }

    /// Makes the whole file system read-only, or writable again.
    void remount(bool readOnly) {
        const unsigned long flags = readOnly ? MS_REMOUNT | MS_RDONLY : MS_REMOUNT;
        ASSERT_EQ(::mount(nullptr, mountPoint.c_str(), nullptr, flags, nullptr), 0)
            << "remount " << (readOnly ? "read-only" : "read-write") << ": " << errno;
    }

    void TearDown() override {
        if (mounted_) {
            ::umount2(mountPoint.c_str(), MNT_DETACH);
            mounted_ = false;
        }
        ::alarm(0);
    }

    static constexpr unsigned watchdogSeconds = 120;

    quorin::testing::TemporaryDirectory directory;
    const std::filesystem::path mountPoint = directory / "mnt";

  private:
    bool mounted_ = false;
};

}  // namespace quorin::daemon::testing
