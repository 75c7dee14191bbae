#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace quorin {

/// The single-vote form of `ExecutionApprovalGate`: whoever claims an exec message first decides
/// its one answer, and every later claim gets nothing. An allowing claim counts only strictly
/// before the deadline (a tick count of a monotonic clock supplied by the caller). Shared by its
/// claimants through `std::shared_ptr`; safe to call from any thread.
class ExecutionResponseGate {
  public:
    explicit ExecutionResponseGate(std::uint64_t deadline) : deadline_(deadline) {}

    ExecutionResponseGate(const ExecutionResponseGate&) = delete;
    ExecutionResponseGate& operator=(const ExecutionResponseGate&) = delete;

    /// Whether no claim has been made yet.
    bool isPending() const;

    /// The answer the caller must now give (`allow` and `now` before the deadline), or nothing
    /// when another claim came first.
    std::optional<bool> claim(std::uint64_t now, bool allow);

  private:
    mutable std::mutex lock_;
    bool completed_ = false;  // guarded by lock_
    const std::uint64_t deadline_;
};

}  // namespace quorin
