#pragma once

// An authority for tests with a scripted answer per action (`unavailable` for an action it was
// not told about, as for one the service does not know). It records every check; a check waits
// until the test calls `answerPending()`, from the thread that then stands for the authority's
// own, so `done` runs once and never inside the call. Checks still waiting when the fake goes are
// dropped unanswered.

#include "QuorinDaemon/Platform/Authority.hpp"

#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace quorin::daemon::testing {

class FakeAuthority final : public Authority {
  public:
    struct Check {
        AuthorizationSubject subject;
        std::string action;
    };

    void script(std::string_view action, AuthorizationAnswer answer) {
        const std::lock_guard lock(mutex_);
        answers_.insert_or_assign(std::string(action), answer);
    }

    /// Answers the checks waiting, in the order they came, on the calling thread; how many.
    std::size_t answerPending() {
        std::deque<Pending> taken;
        {
            const std::lock_guard lock(mutex_);
            taken.swap(pending_);
        }
        for (Pending& check : taken) {
            check.done(check.answer);
        }
        return taken.size();
    }

    std::vector<Check> checks() const {
        const std::lock_guard lock(mutex_);
        return checks_;
    }

    void checkAuthorization(const AuthorizationSubject& subject, const std::string& action,
                            std::function<void(AuthorizationAnswer)> done) override {
        const std::lock_guard lock(mutex_);
        checks_.push_back({subject, action});
        const auto scripted = answers_.find(action);
        pending_.push_back(
            {scripted == answers_.end() ? AuthorizationAnswer::unavailable : scripted->second,
             std::move(done)});
    }

  private:
    struct Pending {
        AuthorizationAnswer answer;
        std::function<void(AuthorizationAnswer)> done;
    };

    mutable std::mutex mutex_;
    std::map<std::string, AuthorizationAnswer, std::less<>> answers_;
    std::vector<Check> checks_;
    std::deque<Pending> pending_;
};

}  // namespace quorin::daemon::testing
