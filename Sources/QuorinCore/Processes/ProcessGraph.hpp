#pragma once

#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/ProcessIdentity.hpp"

#include <optional>
#include <unordered_map>
#include <vector>

namespace quorin {

/// The analysis side's table of known processes, keyed by `ProcessID`. Events name their process
/// only by id; the graph turns the id into the process record and walks from a process up through
/// the processes responsible for it. A plain value: copies are independent.
class ProcessGraph {
  public:
    ProcessGraph() = default;

    /// Stores `process` under its id, replacing any process registered under that id before.
    void register_(ProcessIdentity process);

    /// The registered process, or nothing.
    const ProcessIdentity* process(const ProcessID& id) const;

    /// The chain from the process itself up: at each step the responsible process when there is
    /// one, otherwise the parent. Ends at an unregistered id, at a process with neither, or when a
    /// process would appear a second time (a cycle). Empty for an unregistered starting id.
    std::vector<ProcessIdentity> ancestry(const ProcessID& from) const;

    /// The last process of `ancestry(from: id)`, or nothing when that chain is empty.
    std::optional<ProcessIdentity> root(const ProcessID& id) const;

  private:
    std::unordered_map<ProcessID, ProcessIdentity> nodes_;
};

}  // namespace quorin
