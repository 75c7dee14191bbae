#pragma once

#include "QuorinCore/Attribution/AncestryWalking.hpp"

#include <atomic>
#include <map>
#include <string>

namespace quorin::testing {

/// A process table for ancestry walks: pid → parent pid, every parent's executable "/bin/p<pid>".
/// Counts the questions asked.
class TableAncestryWalking final : public AncestryWalking {
  public:
    explicit TableAncestryWalking(std::map<std::int32_t, std::int32_t> parents)
        : parents_(std::move(parents)) {}

    std::optional<ParentProcess> parent(std::int32_t of) const override {
        ++calls_;
        const auto found = parents_.find(of);
        if (found == parents_.end()) {
            return std::nullopt;
        }
        return ParentProcess{found->second, "/bin/p" + std::to_string(found->second)};
    }

    int calls() const { return calls_; }

  private:
    std::map<std::int32_t, std::int32_t> parents_;
    mutable std::atomic<int> calls_ = 0;
};

}  // namespace quorin::testing
