#pragma once

// Dispatch for tests that decide when jobs run: submitted jobs wait until the test calls
// `runPending`, which runs them one at a time on the test's thread (jobs they submit run in the
// same call). Delayed jobs wait for the fake time to reach their due time through `advance`.
// Jobs run earliest due first, in submission order among equal due times; a job submitted
// without delay is due at once. Jobs may be submitted from any thread.

#include "QuorinDaemon/Platform/Dispatch.hpp"

#include <chrono>
#include <cstddef>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

namespace quorin::daemon::testing {

class ManualDispatch final : public Dispatch {
  public:
    std::shared_ptr<DispatchQueue> makeQueue(std::string label) override {
        return std::make_shared<Queue>(*this, std::move(label));
    }

    /// Runs due jobs until none is left.
    void runPending() {
        while (std::function<void()> job = take())
            job();
    }
    void advance(std::chrono::nanoseconds duration) {
        const std::lock_guard lock(mutex_);
        now_ += duration;
    }
    std::size_t readyCount() const {
        const std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::distance(jobs_.begin(), jobs_.upper_bound({now_, SIZE_MAX})));
    }

  private:
    using Key = std::pair<std::chrono::nanoseconds, std::size_t>;  // due time, submission number
    class Queue final : public DispatchQueue {
      public:
        Queue(ManualDispatch& owner, std::string label) : owner_(owner), label_(std::move(label)) {}
        const std::string& label() const override { return label_; }
        void async(std::function<void()> job) override { asyncAfter({}, std::move(job)); }
        void asyncAfter(std::chrono::nanoseconds delay, std::function<void()> job) override {
            const std::lock_guard lock(owner_.mutex_);
            owner_.jobs_.emplace(Key{owner_.now_ + delay, owner_.sequence_++}, std::move(job));
        }

      private:
        ManualDispatch& owner_;
        std::string label_;
    };

    std::function<void()> take() {
        const std::lock_guard lock(mutex_);
        if (jobs_.empty() || jobs_.begin()->first.first > now_)
            return nullptr;
        return std::move(jobs_.extract(jobs_.begin()).mapped());
    }

    mutable std::mutex mutex_;
    std::chrono::nanoseconds now_{0};
    std::size_t sequence_ = 0;
    std::map<Key, std::function<void()>> jobs_;
};

}  // namespace quorin::daemon::testing
