#pragma once

// One exec message with a single request, held by the controller and answered the way the exec
// client answers it: every vote goes through a real approval gate, and the vote that finishes the
// gate answers (here: records the answer) and reports the outcome to the controller.

#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quorin::daemon::testing {

class HeldExecution {
  public:
    struct Answer {
        bool allowed;
        std::string reason;
        friend bool operator==(const Answer&, const Answer&) = default;
    };

    HeldExecution(ExecutionProtectionController& controller, std::uint32_t uid,
                  ExecutionCandidate candidate)
        : state_(std::make_shared<State>(controller, uid, std::move(candidate))) {}

    const UUID& id() const { return state_->id; }

    bool prepare(Date deadline,
                 std::optional<std::vector<ExecutionExplanation::Reason>> reasons = std::nullopt) {
        auto state = state_;
        return state->controller.prepare(
            state->uid, state->candidate, state->id, deadline, std::move(reasons),
            [state] { return state->gate.isPending(state->id); },
            [state](bool allow, std::string_view reason) {
                return state->finish(state->gate.vote(state->id, 0, allow), allow, reason);
            });
    }

    /// The expiry timer firing.
    void expire() { state_->finish(state_->gate.expire(), false, "Blocked after timeout"); }

    /// The answers given to the operating system; exactly one once the message is finished.
    std::vector<Answer> answers() const {
        const std::lock_guard lock(state_->mutex);
        return state_->answers;
    }

  private:
    struct State {
        State(ExecutionProtectionController& owner, std::uint32_t user, ExecutionCandidate file)
            : controller(owner), uid(user), candidate(std::move(file)) {}

        bool finish(ExecutionApprovalGate::Result result, bool requestedAllow,
                    std::string_view reason) {
            using Kind = ExecutionApprovalGate::Result::Kind;
            if (result.kind() != Kind::finished) {
                return result.kind() == Kind::waiting;
            }
            const bool allowed = result.allowed();
            const std::string recorded =
                requestedAllow && !allowed ? "Blocked after timeout" : std::string(reason);
            {
                const std::lock_guard lock(mutex);
                answers.push_back({allowed, recorded});
            }
            controller.completed(
                uid, id, candidate.path, allowed, recorded,
                allowed ? ExecutionOutcomeResult::allowed : ExecutionOutcomeResult::blocked);
            return requestedAllow == allowed;
        }

        ExecutionProtectionController& controller;
        std::uint32_t uid;
        ExecutionCandidate candidate;
        UUID id = UUID::random();
        ExecutionApprovalGate gate{{id}, std::numeric_limits<std::uint64_t>::max()};
        mutable std::mutex mutex;
        std::vector<Answer> answers;
    };

    std::shared_ptr<State> state_;
};

}  // namespace quorin::daemon::testing
