#pragma once

// Dispatch for tests that decide when jobs run: submitted jobs wait until the test calls
// `runPending`, which runs them one at a time on the test's thread in submission order (jobs they
// submit run in the same call). Delayed jobs wait for the fake time to reach their due time
// through `advance`. Jobs may be submitted from any thread; they always run on the thread that
// calls `runPending`.

#include "QuorinDaemon/Platform/Dispatch.hpp"

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

namespace quorin::daemon::testing {

class ManualDispatch final : public Dispatch {
  public:
    std::shared_ptr<DispatchQueue> makeQueue(std::string label) override {
        return std::make_shared<Queue>(*this, std::move(label));
    }

    /// Runs ready jobs until none is left; returns how many ran.
    std::size_t runPending() {
        std::size_t count = 0;
        while (true) {
            std::function<void()> job;
            {
                const std::lock_guard lock(mutex_);
                if (ready_.empty()) {
                    return count;
                }
                job = std::move(ready_.front());
                ready_.pop_front();
            }
            job();
            ++count;
        }
    }

    /// Moves the fake time on; delayed jobs now due become ready, earliest due first (in
    /// submission order among equal due times). They run with the next `runPending`.
    void advance(std::chrono::nanoseconds duration) {
        const std::lock_guard lock(mutex_);
        now_ += duration;
        while (!delayed_.empty() && std::get<0>(delayed_.begin()->first) <= now_) {
            ready_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
    }

    std::size_t readyCount() const {
        const std::lock_guard lock(mutex_);
        return ready_.size();
    }

  private:
    class Queue final : public DispatchQueue {
      public:
        Queue(ManualDispatch& owner, std::string label) : owner_(owner), label_(std::move(label)) {}
        const std::string& label() const override { return label_; }
        void async(std::function<void()> job) override { owner_.submit(std::move(job)); }
        void asyncAfter(std::chrono::nanoseconds delay, std::function<void()> job) override {
            owner_.submitAfter(delay, std::move(job));
        }

      private:
        ManualDispatch& owner_;
        std::string label_;
    };

    void submit(std::function<void()> job) {
        const std::lock_guard lock(mutex_);
        ready_.push_back(std::move(job));
    }

    void submitAfter(std::chrono::nanoseconds delay, std::function<void()> job) {
        const std::lock_guard lock(mutex_);
        delayed_.emplace(std::tuple{now_ + delay, sequence_++}, std::move(job));
    }

    mutable std::mutex mutex_;
    std::chrono::nanoseconds now_{0};
    std::size_t sequence_ = 0;
    std::deque<std::function<void()>> ready_;
    std::map<std::tuple<std::chrono::nanoseconds, std::size_t>, std::function<void()>> delayed_;
};

}  // namespace quorin::daemon::testing
