#pragma once

#include "QuorinDaemon/Platform/PeerRequirement.hpp"

#include <string>

namespace quorin::daemon {

/// The peer rule on Linux, which has no code signatures to evaluate a requirement text against:
/// the peer's executable (from `/proc/<pid>/exe`) must be a regular file owned by root and not
/// writable by group or others, in directories that are all, up to "/", owned by root and not
/// writable by group or others. Only an administrator can have put such a program there. The
/// requirement text itself is not consulted.
class ProcPeerRequirement final : public PeerRequirement {
  public:
    explicit ProcPeerRequirement(std::string procRoot = "/proc") : procRoot_(std::move(procRoot)) {}

    bool satisfies(pid_t pid, const std::string& requirement) const override;

    /// The rule for one executable path (absolute, as `/proc/<pid>/exe` names it).
    static bool isProtectedExecutable(const std::string& path);

  private:
    std::string procRoot_;
};

}  // namespace quorin::daemon
