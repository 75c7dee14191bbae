#pragma once

// An authority for tests: each check is recorded and answered as scripted per action (authorized
// unless said otherwise), never inside the call: when the test says so, or, for a fake that
// answers on its own, at once on a thread of the fake's.

#include "QuorinDaemon/Platform/Authority.hpp"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace quorin::daemon::testing {

class FakeAuthority final : public Authority {
  public:
    explicit FakeAuthority(bool answersOnItsOwn = false) {
        if (answersOnItsOwn) {
            worker_ = std::thread([this] {
                std::unique_lock lock(mutex_);
                while (!stopping_) {
                    changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
                    lock.unlock();
                    answerPending();
                    lock.lock();
                }
            });
        }
    }
    ~FakeAuthority() override {
        if (worker_.joinable()) {
            {
                const std::lock_guard lock(mutex_);
                stopping_ = true;
            }
            changed_.notify_all();
            worker_.join();
        }
    }
    FakeAuthority(const FakeAuthority&) = delete;
    FakeAuthority& operator=(const FakeAuthority&) = delete;

    void checkAuthorization(const AuthorizationSubject& subject, const std::string& action,
                            std::function<void(AuthorizationAnswer)> done) override {
        {
            const std::lock_guard lock(mutex_);
            asked_.push_back(std::to_string(subject.pid) + "@" + std::to_string(subject.startTime) +
                             " uid " + std::to_string(subject.uid) + " " + action);
            pending_.emplace_back(action, std::move(done));
        }
        changed_.notify_all();
    }

    void script(std::string_view action, AuthorizationAnswer answer) {
        const std::lock_guard lock(mutex_);
        answers_[std::string(action)] = answer;
    }
    /// Answers every check asked so far.
    void answerPending() {
        std::deque<std::pair<std::string, std::function<void(AuthorizationAnswer)>>> pending;
        std::map<std::string, AuthorizationAnswer> answers;
        {
            const std::lock_guard lock(mutex_);
            pending.swap(pending_);
            answers = answers_;
        }
        for (auto& [action, done] : pending) {
            const auto scripted = answers.find(action);
            done(scripted == answers.end() ? AuthorizationAnswer::authorized : scripted->second);
        }
    }
    /// Every check so far: "10501@77 uid 501 com.brenmoor.quorin.allow-execution".
    std::vector<std::string> asked() const {
        const std::lock_guard lock(mutex_);
        return asked_;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, AuthorizationAnswer> answers_;
    std::deque<std::pair<std::string, std::function<void(AuthorizationAnswer)>>> pending_;
    std::vector<std::string> asked_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace quorin::daemon::testing
