#pragma once

#include "QuorinCore/Attribution/AncestryWalking.hpp"

#include <atomic>
#include <map>
#include <string>

namespace quorin::testing {

/// A process table for ancestry walks: pid → parent pid, every parent's executable "/bin/p<pid>",
/// every process in it started at tick 0 unless `set` says otherwise. Counts the parents and the
/// statuses asked for.
class TableAncestryWalking final : public AncestryWalking {
  public:
    explicit TableAncestryWalking(const std::map<std::int32_t, std::int32_t>& parents) {
        for (const auto& [pid, parent] : parents) {
            processes_[pid] = ProcessStatus{0, parent};
        }
    }

    std::optional<ParentProcess> parent(std::int32_t of) const override {
        ++calls_;
        const auto found = processes_.find(of);
        if (found == processes_.end()) {
            return std::nullopt;
        }
        const std::int32_t parent = found->second.parentPid;
        return ParentProcess{parent, "/bin/p" + std::to_string(parent)};
    }

    std::optional<ProcessStatus> status(std::int32_t pid) const override {
        ++statuses_;
        const auto found = processes_.find(pid);
        return found == processes_.end() ? std::nullopt : std::optional(found->second);
    }

    /// From now on `pid` is the process `status` describes, or gone when there is none. Not while
    /// another thread asks.
    void set(std::int32_t pid, std::optional<ProcessStatus> status) {
        if (status) {
            processes_[pid] = *status;
        } else {
            processes_.erase(pid);
        }
    }

    int calls() const { return calls_; }
    int statuses() const { return statuses_; }

  private:
    std::map<std::int32_t, ProcessStatus> processes_;
    mutable std::atomic<int> calls_ = 0;
    mutable std::atomic<int> statuses_ = 0;
};

}  // namespace quorin::testing
