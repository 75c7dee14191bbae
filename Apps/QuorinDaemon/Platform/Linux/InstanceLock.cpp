#include "QuorinDaemon/Platform/Linux/InstanceLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <system_error>
#include <utility>

namespace quorin::daemon {

namespace {

// The failure `errno` tells of, for `what` was done to the lock file at `path`.
std::system_error lockFileError(const std::string& what, const std::string& path) {
    return {errno, std::generic_category(), what + " " + path};
}

// The pid a holder wrote: decimal digits, then a line feed.
std::optional<pid_t> lockHolder(int descriptor) {
    std::array<char, 16> text{};
    const ssize_t count = ::pread(descriptor, text.data(), text.size(), 0);
    pid_t pid = 0;
    const char* end = text.data() + std::max<ssize_t>(count, 0);
    const auto [last, error] = std::from_chars(text.data(), end, pid);
    return error == std::errc{} && pid > 0 && last != end && *last == '\n' ? std::optional(pid)
                                                                           : std::nullopt;
}

}  // namespace

std::variant<InstanceLock, InstanceLock::HeldElsewhere> InstanceLock::take(
    const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (descriptor < 0) {
        throw lockFileError("open", path);
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            const std::system_error error = lockFileError("flock", path);
            ::close(descriptor);
            throw error;
        }
        HeldElsewhere held{lockHolder(descriptor)};
        ::close(descriptor);
        return held;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(descriptor, 0) != 0 ||
        ::pwrite(descriptor, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        const std::system_error error = lockFileError("write", path);
        ::close(descriptor);
        throw error;
    }
    return InstanceLock(descriptor);
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

InstanceLock::~InstanceLock() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

}  // namespace quorin::daemon
