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

/// Answers one question about the live process table: which process is the parent of `pid`. The
/// daemon asks the operating system; tests answer from a table. Implementations hold no state
/// that changes between calls, so one instance may be asked from any thread.
class AncestryWalking {
  public:
    virtual ~AncestryWalking() = default;

    /// The parent's pid and executable path, or nothing when the process has no parent (its
    /// parent is the kernel) or cannot be read.
    virtual std::optional<ParentProcess> parent(std::int32_t of) const = 0;
};

}  // namespace quorin
