#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"

namespace quorin {

ExecutionApprovalGate::ExecutionApprovalGate(const std::vector<UUID>& ids, std::uint64_t deadline)
    : remaining_(ids.begin(), ids.end()), deadline_(deadline) {}

bool ExecutionApprovalGate::isPending(const UUID& id) const {
    const std::lock_guard guard(lock_);
    return !completed_ && remaining_.contains(id);
}

ExecutionApprovalGate::Result ExecutionApprovalGate::vote(const UUID& id, std::uint64_t now,
                                                          bool allow) {
    const std::lock_guard guard(lock_);
    if (completed_ || remaining_.erase(id) == 0) {
        return Result::rejected();
    }
    if (allow && now < deadline_) {
        if (!remaining_.empty()) {
            return Result::waiting();
        }
        completed_ = true;
        return Result::finished(true);
    }
    // A block, or an approval at or after the deadline, ends the whole message as blocked.
    completed_ = true;
    return Result::finished(false);
}

ExecutionApprovalGate::Result ExecutionApprovalGate::expire() {
    const std::lock_guard guard(lock_);
    if (completed_) {
        return Result::rejected();
    }
    completed_ = true;
    return Result::finished(false);
}

}  // namespace quorin
