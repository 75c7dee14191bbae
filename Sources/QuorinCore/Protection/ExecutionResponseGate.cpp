#include "QuorinCore/Protection/ExecutionResponseGate.hpp"

namespace quorin {

bool ExecutionResponseGate::isPending() const {
    const std::lock_guard guard(lock_);
    return !completed_;
}

std::optional<bool> ExecutionResponseGate::claim(std::uint64_t now, bool allow) {
    const std::lock_guard guard(lock_);
    if (completed_) {
        return std::nullopt;
    }
    completed_ = true;
    return allow && now < deadline_;
}

}  // namespace quorin
