#pragma once

#include <sys/stat.h>
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

    /// The path of the open file `descriptor` (whose status is `status`) in the file system, or
    /// "" when it has none: held in memory only, deleted, or reachable by no path that can be
    /// read. A file renamed since it was opened has its new path.
    static std::string pathOfOpenFile(int descriptor, const struct stat& status);

    /// Whether the file `status` describes, found at `path`, is a platform binary: a regular file
    /// owned by root and not writable by group or others, under a system directory ("/usr",
    /// "/bin", "/sbin", "/lib…") but never under "/usr/local" or a shared root a user may watch,
    /// where programs are installed by hand. `status` is the file's own (from its descriptor), so
    /// a path dressed up by a mount the daemon does not see cannot lend a file root's ownership.
    static bool isPlatformBinary(const std::string& path, const struct stat& status);

    /// Whether no one but root can give the regular file `status` describes, found at the
    /// absolute `path`, another path: it and every directory above it are root's, and no
    /// directory on the way lets others change its entries (none writable by group or others
    /// unless sticky, where only an entry's owner may move it). Hard links are another way, which
    /// the kernel closes only while `hardLinksProtected`.
    static bool onlyRootCanRelocate(const std::string& path, const struct stat& status);

    /// Whether the kernel refuses a hard link to a file the linking user neither owns nor may
    /// read and write (fs.protected_hardlinks).
    static bool hardLinksProtected();
};

}  // namespace quorin::daemon
