#pragma once

#include "QuorinCore/Support/UUID.hpp"

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

namespace quorin {

/// Turns the concurrent votes on one held exec message into exactly one verdict. The message
/// concerns one or more requests (a script and its interpreter), each identified by an id; the
/// user's decisions, trust-rule approvals and the expiry timer vote from different threads. The
/// message is allowed only when every id approves before the deadline; one block, one late
/// approval or the expiry ends it as blocked. Exactly one call ever returns `finished`, and its
/// caller alone answers the operating system. Time is a tick count of a monotonic clock supplied
/// by the caller. Shared by its voters through `std::shared_ptr`; safe to call from any thread.
class ExecutionApprovalGate {
  public:
    /// What one vote or expiry did to the gate.
    class Result {
      public:
        enum class Kind {
            finished,  // this call produced the verdict; its caller must answer
            rejected,  // the call did not count: the gate is complete or the id is not awaited
            waiting,   // the approval was recorded; other ids must still vote
        };

        static constexpr Result finished(bool allowed) { return Result(Kind::finished, allowed); }
        static constexpr Result rejected() { return Result(Kind::rejected, false); }
        static constexpr Result waiting() { return Result(Kind::waiting, false); }

        constexpr Kind kind() const { return kind_; }
        /// The verdict of a `finished` result; false for the other kinds.
        constexpr bool allowed() const { return allowed_; }

        friend constexpr bool operator==(const Result&, const Result&) = default;

      private:
        constexpr Result(Kind kind, bool allowed) : kind_(kind), allowed_(allowed) {}

        Kind kind_;
        bool allowed_;  // only ever true for `finished`, so equality compares the flag there only
    };

    /// A gate awaiting one vote from each of `ids` (duplicates collapse); approvals count only
    /// strictly before `deadline`.
    ExecutionApprovalGate(const std::vector<UUID>& ids, std::uint64_t deadline);

    ExecutionApprovalGate(const ExecutionApprovalGate&) = delete;
    ExecutionApprovalGate& operator=(const ExecutionApprovalGate&) = delete;

    /// Whether the gate is open and `id` has not voted yet.
    bool isPending(const UUID& id) const;

    /// Casts the one vote of `id` at tick `now`: `rejected` when the gate is complete or `id` is
    /// not (or no longer) awaited; `waiting` for an approval in time while other ids remain;
    /// otherwise `finished`, allowed only for the last approval in time.
    Result vote(const UUID& id, std::uint64_t now, bool allow);

    /// Ends an open gate as blocked (`finished(false)`); `rejected` when already complete.
    Result expire();

  private:
    mutable std::mutex lock_;
    std::set<UUID> remaining_;  // guarded by lock_
    bool completed_ = false;    // guarded by lock_
    const std::uint64_t deadline_;
};

}  // namespace quorin
