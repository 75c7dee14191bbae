#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorin {

/// The parent of a process, as the process table reports it.
struct ParentProcess {
    std::int32_t pid;
    std::string executablePath;

    friend bool operator==(const ParentProcess&, const ParentProcess&) = default;
};

/// What one look at a process tells: when it started (with its pid, this names one process for
/// good, since pids are reused) and which pid its parent has now.
struct ProcessStatus {
    std::uint64_t startTime;
    std::int32_t parentPid;

    friend bool operator==(const ProcessStatus&, const ProcessStatus&) = default;
};

/// Answers questions about the live process table: which process is the parent of `pid`, and who
/// `pid` is now. The daemon asks the operating system; tests answer from a table. Implementations
/// hold no state that changes between calls, so one instance may be asked from any thread; what
/// is remembered between records (`AncestryCache`) is kept above this seam, under its own lock.
class AncestryWalking {
  public:
    virtual ~AncestryWalking() = default;

    /// The parent's pid and executable path, or nothing when the process has no parent (its
    /// parent is the kernel) or cannot be read.
    virtual std::optional<ParentProcess> parent(std::int32_t of) const = 0;

    /// The start time and parent pid of `pid` from a single look, or nothing when it cannot be
    /// read (it has exited).
    virtual std::optional<ProcessStatus> status(std::int32_t pid) const = 0;
};

}  // namespace quorin
