#pragma once

// The controller's test harness: `HeldExecution`, one exec message with a single request, held by
// the controller and answered the way the exec client answers it (every vote goes through a real
// approval gate, and the vote that finishes the gate answers, here records the answer, and
// reports the outcome to the controller); and `ProtectionHarness`, one controller on fakes over a
// real store, whose requests return once the jobs they queued have run.

#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
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

/// One controller over a real store in a temporary home directory (or `storage`), with its queue
/// run by hand. The exec client is subscribed; `restart` starts the daemon again on the same store.
class ProtectionHarness {
  public:
    explicit ProtectionHarness(std::optional<std::filesystem::path> storage = std::nullopt)
        : storageDirectory(storage.value_or(home / "storage")) {
        std::filesystem::create_directory(home / "bin");
        restart();
    }

    void restart() {
        controller = std::make_unique<ExecutionProtectionController>(storageDirectory, dispatch,
                                                                     signing, clock);
        controller->setAvailable(true);
    }

    /// Protection on (or off) for executables under `home/bin`.
    ExecutionProtectionConfiguration settings(bool enabled = true) const {
        return ExecutionProtectionConfiguration{enabled, {(home / "bin").string()}, {}, {}, {}};
    }

    std::optional<bool> configure(std::uint32_t uid,
                                  const ExecutionProtectionConfiguration& configuration) {
        return reply<bool>([&](auto done) {
            controller->configure(uid, home.path().string(), encodeJSONText(configuration), done);
        });
    }
    void enable(std::uint32_t uid) { ASSERT_EQ(configure(uid, settings()), true); }

    ExecutionProtectionState state(std::uint32_t uid) {
        const auto data = reply<std::string>([&](auto done) { controller->state(uid, done); });
        EXPECT_TRUE(data.has_value());
        return decodeJSONText<ExecutionProtectionState>(data.value_or("{}"));
    }
    std::optional<bool> decide(std::uint32_t uid, const UUID& id, ExecutionDecision decision) {
        return reply<bool>([&](auto done) { controller->decide(uid, id, decision, done); });
    }
    /// The exported history; "no reply" when there was none.
    std::string exportHistory(std::uint32_t uid) {
        return reply<std::string>([&](auto done) { controller->exportHistory(uid, done); })
            .value_or("no reply");
    }
    std::optional<bool> clearHistory(std::uint32_t uid) {
        return reply<bool>([&](auto done) { controller->clearHistory(uid, done); });
    }
    std::optional<bool> clearTrust(std::uint32_t uid) {
        return reply<bool>([&](auto done) { controller->clearTrust(uid, done); });
    }

    /// Writes an executable file `home/bin/name`.
    std::filesystem::path executable(const std::string& name, const std::string& content) const {
        const std::filesystem::path path = home.write("bin/" + name, content);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }
    static ExecutionCandidate candidateFor(const std::filesystem::path& path) {
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
        return ExecutionCandidate{path.string(), fileVersion(status), false, false, false, "", "",
                                  "/bin/sh"};
    }

    /// An execution handed to the controller, due in `seconds`; `held`: whether it must be held.
    /// Its identity job waits on the queue.
    HeldExecution hold(std::uint32_t uid, const ExecutionCandidate& candidate, bool held = true,
                       double seconds = 100) {
        HeldExecution execution(*controller, uid, candidate);
        EXPECT_EQ(execution.prepare(clock.now().addingTimeInterval(seconds)), held);
        return execution;
    }

    User stored(std::uint32_t uid) const { return ProtectionStorage(storageDirectory).load(uid); }
    void store(std::uint32_t uid, const User& user) const {
        ProtectionStorage(storageDirectory).save(user, uid);
    }

    quorin::testing::TemporaryDirectory home;
    const std::filesystem::path storageDirectory;
    ManualDispatch dispatch;
    FakeCodeSigning signing;
    FakeClock clock;
    std::unique_ptr<ExecutionProtectionController> controller;

  private:
    // Makes one request with a reply callback and runs the queue.
    template <class Value, class Request>
    std::optional<Value> reply(Request request) {
        std::optional<Value> result;
        request([&result](Value value) { result = std::move(value); });
        dispatch.runPending();
        return result;
    }
};

}  // namespace quorin::daemon::testing
