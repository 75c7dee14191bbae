#include "QuorinDaemon/Platform/Linux/UserConnectionBudget.hpp"

#include <utility>

namespace quorin::daemon {

std::variant<UserConnectionBudget::Share, UserConnectionBudget::Refusal> UserConnectionBudget::open(
    uid_t user) {
    const std::lock_guard lock(mutex_);
    Usage& usage = users_[user];
    if (usage.connections >= limits_.connections) {
        return Refusal{usage.connections, !std::exchange(usage.refusing, true)};
    }
    ++usage.connections;
    return Share(shared_from_this(), user);
}

void UserConnectionBudget::close(Share& share) {
    const std::lock_guard lock(mutex_);
    Usage& usage = users_.at(share.user_);
    usage.queued -= share.queued_;
    usage.partialFrames -= share.partialFrame_;
    if (--usage.connections == 0) {
        users_.erase(share.user_);
    } else {
        usage.refusing = false;
    }
}

UserConnectionBudget::Share::Share(Share&& other) noexcept
    : budget_(std::move(other.budget_)),
      user_(other.user_),
      queued_(other.queued_),
      partialFrame_(other.partialFrame_) {}

UserConnectionBudget::Share::~Share() {
    if (budget_ != nullptr) {
        budget_->close(*this);
    }
}

std::optional<UserConnectionBudget::Overrun> UserConnectionBudget::Share::queue(std::size_t bytes) {
    const std::lock_guard lock(budget_->mutex_);
    const Limits& limits = budget_->limits_;
    if (queued_ + bytes > limits.queuedBytesPerConnection) {
        return Overrun{"its unsent bytes", limits.queuedBytesPerConnection};
    }
    Usage& usage = budget_->users_.at(user_);
    if (usage.queued + bytes > limits.queuedBytesPerUser) {
        return Overrun{"the user's unsent bytes", limits.queuedBytesPerUser};
    }
    queued_ += bytes;
    usage.queued += bytes;
    return std::nullopt;
}

void UserConnectionBudget::Share::unqueue(std::size_t bytes) {
    const std::lock_guard lock(budget_->mutex_);
    queued_ -= bytes;
    budget_->users_.at(user_).queued -= bytes;
}

std::optional<UserConnectionBudget::Overrun> UserConnectionBudget::Share::holdPartialFrame(
    std::size_t bytes) {
    const std::lock_guard lock(budget_->mutex_);
    Usage& usage = budget_->users_.at(user_);
    const std::size_t total = usage.partialFrames - partialFrame_ + bytes;
    if (total > budget_->limits_.partialFrameBytesPerUser) {
        return Overrun{"the user's bytes in incomplete frames",
                       budget_->limits_.partialFrameBytesPerUser};
    }
    usage.partialFrames = total;
    partialFrame_ = bytes;
    return std::nullopt;
}

}  // namespace quorin::daemon
