#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <variant>

namespace quorin::daemon {

/// One daemon process's claim to its socket directory: an exclusive advisory lock (`flock`) on a
/// lock file there, taken without waiting and held while the object lives or, however it ends,
/// until the process ends. The file (mode 0644, never followed through a symbolic link, its
/// descriptor closed on exec) holds the holder's pid in decimal, so a second instance can name
/// the one that runs.
class InstanceLock {
  public:
    /// The lock is another process's: its pid, when the file names one.
    struct HeldElsewhere {
        std::optional<pid_t> holder;
    };

    /// Takes the lock on the file at `path`, creating it, and writes this process's pid into it;
    /// or tells who holds it. Throws `std::system_error` when the file cannot be opened, locked
    /// or written.
    static std::variant<InstanceLock, HeldElsewhere> take(const std::string& path);

    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&&) = delete;
    ~InstanceLock();

  private:
    explicit InstanceLock(int descriptor) : descriptor_(descriptor) {}

    int descriptor_;
};

}  // namespace quorin::daemon
