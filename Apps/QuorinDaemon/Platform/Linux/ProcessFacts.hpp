#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quorin::daemon {

/// What `/proc` tells about a running process. Reading races with the process's exit: a process
/// that is gone has no facts, and that is reported rather than guessed.
struct ProcessFacts {
    std::uint32_t realUserID;
    std::string executable;  // the target of /proc/<pid>/exe; "" when unreadable

    /// The facts of `pid` under `procRoot`; nothing when its status cannot be read.
    static std::optional<ProcessFacts> of(pid_t pid, const std::string& procRoot = "/proc");

    /// When `pid` started, in clock ticks since boot (field 22 of its stat file); nothing when
    /// it is gone. With the pid it names one process for good, since pids are reused.
    static std::optional<std::uint64_t> startTime(pid_t pid, const std::string& procRoot = "/proc");

    /// What the link `link` names (such as "/proc/self/fd/7"); "" when it cannot be read.
    static std::string linkTarget(const std::string& link);

    /// A platform binary: a regular file owned by root and not writable by group or others,
    /// under a system directory ("/usr", "/bin", "/sbin", "/lib…").
    static bool isPlatformBinary(const std::string& executable);
};

}  // namespace quorin::daemon
