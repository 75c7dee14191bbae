#pragma once

#include "QuorinCore/Attribution/AncestryWalking.hpp"

#include <optional>
#include <string_view>

namespace quorin::daemon {

/// Parents from the live process table in /proc: the parent pid from /proc/<pid>/stat, the
/// parent's executable from the link /proc/<ppid>/exe. Nothing when either cannot be read (the
/// process has exited, or is a kernel thread) or when the parent is 0, where the walk ends at the
/// kernel. A writer that has already exited therefore has an empty ancestry. A status is one read
/// of /proc/<pid>/stat. Stateless.
class ProcAncestryWalking final : public AncestryWalking {
  public:
    std::optional<ParentProcess> parent(std::int32_t of) const override;
    std::optional<ProcessStatus> status(std::int32_t pid) const override;

    /// The parent pid in the text of a /proc/<pid>/stat file: the fourth field, counted after the
    /// command name in parentheses, which may itself hold spaces and parentheses.
    static std::optional<std::int32_t> parentPid(std::string_view stat);

    /// The start time (field 22, in clock ticks since boot) and the parent pid in the text of a
    /// /proc/<pid>/stat file.
    static std::optional<ProcessStatus> statusIn(std::string_view stat);
};

}  // namespace quorin::daemon
