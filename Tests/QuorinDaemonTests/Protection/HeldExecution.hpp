#pragma once

// The controller's test harness: `HeldExecution`, one exec message with a single request, held by
// the controller and answered once, the way the exec client answers it (the first answer is
// recorded and its outcome reported to the controller); and
// `ProtectionHarness`, one controller on fakes over a real store, whose requests return once the
// jobs they queued have run.

#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "Messages.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>

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
        : state_(new State{controller, uid, std::move(candidate)}) {}

    const UUID& id() const { return state_->id; }

    bool prepare(Date deadline) {
        auto state = state_;
        return state->controller.prepare(
            state->uid, state->candidate, state->id, deadline, std::nullopt,
            [state] { return !state->finished; },
            [state](bool allow, std::string_view reason) { return state->finish(allow, reason); });
    }

    /// The expiry timer firing.
    void expire() { state_->finish(false, "Blocked after timeout"); }

    /// The answers given to the operating system; exactly one once the message is finished.
    std::vector<Answer> answers() const { return state_->answers; }

  private:
    struct State {
        // The first answer wins; the message is answered once.
        bool finish(bool allowed, std::string_view reason) {
            if (std::exchange(finished, true)) {
                return false;
            }
            answers.push_back({allowed, std::string(reason)});
            controller.completed(
                uid, id, candidate.path, allowed, reason,
                allowed ? ExecutionOutcomeResult::allowed : ExecutionOutcomeResult::blocked);
            return true;
        }

        ExecutionProtectionController& controller;
        std::uint32_t uid;
        ExecutionCandidate candidate;
        UUID id = UUID::random();
        bool finished = false;
        std::vector<Answer> answers{};
    };

    std::shared_ptr<State> state_;
};

/// One controller over a real store in a temporary home directory (or `storage`) holding an
/// executable `home/bin/tool`, with its queue run by hand. The exec client is subscribed; `restart`
/// starts the daemon again on the same store.
class ProtectionHarness {
  public:
    explicit ProtectionHarness(std::optional<std::filesystem::path> storage = std::nullopt)
        : storageDirectory(storage.value_or(home / "storage")) {
        std::filesystem::create_directory(home / "bin");
        executable("tool", "x");
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
        return decodeJSONText<ExecutionProtectionState>(
            reply<std::string>([&](auto done) { controller->state(uid, done); }).value());
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
    /// The file at `path` as an exec hands it over.
    static ExecutionCandidate candidateFor(const std::filesystem::path& path) {
        std::shared_ptr<const UniqueFd> file = openFile(path);
        struct stat status {};
        EXPECT_TRUE(file && ::fstat(file->get(), &status) == 0) << path;
        return ExecutionCandidate{path.string(), fileVersion(status), false, false, false, "", "",
                                  "/bin/sh",     std::move(file)};
    }

    /// An execution handed to the controller, due in `seconds`; `held`: whether it must be held.
    /// Its identity job waits on the queue.
    HeldExecution hold(std::uint32_t uid, const ExecutionCandidate& candidate, bool held = true,
                       double seconds = 100) {
        HeldExecution execution(*controller, uid, candidate);
        EXPECT_EQ(execution.prepare(clock.now().addingTimeInterval(seconds)), held);
        return execution;
    }

    /// An execution of `home/bin/tool`, held.
    HeldExecution hold(std::uint32_t uid, double seconds = 100) {
        return hold(uid, candidateFor(home / "bin" / "tool"), true, seconds);
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
