#pragma once

#include <sys/types.h>
#include <string>

namespace quorin::daemon {

/// Whether the process at the other end of a connection satisfies a code requirement. The
/// requirement is the platform's code-requirement text; a platform without code signatures
/// applies its own rule in its place.
class PeerRequirement {
  public:
    virtual ~PeerRequirement() = default;
    virtual bool satisfies(pid_t pid, const std::string& requirement) const = 0;
};

}  // namespace quorin::daemon
