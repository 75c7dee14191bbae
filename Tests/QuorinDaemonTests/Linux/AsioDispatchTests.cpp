#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace quorin::daemon {
namespace {

using namespace std::chrono_literals;

// Queues on a pool of several threads, as the daemon runs them.
class AsioDispatchTest : public ::testing::Test {
  protected:
    void TearDown() override { pool.join(); }

    asio::thread_pool pool{4};
    AsioDispatch dispatch{pool.get_executor()};
};

TEST_F(AsioDispatchTest, RunsTheJobsOfOneQueueOneAtATimeInSubmissionOrder) {
    const auto queue = dispatch.makeQueue("quorin.test.serial");
    EXPECT_EQ(queue->label(), "quorin.test.serial");
    constexpr int jobsPerSubmitter = 5'000;
    std::atomic<bool> running{false};
    std::atomic<int> overlaps{0};
    // Written only by the queue's jobs, which never overlap: no lock needed.
    std::vector<int> seen[2];
    std::promise<void> finished;
    std::atomic<int> remaining{2 * jobsPerSubmitter};
    auto submit = [&](int submitter) {
        for (int index = 0; index < jobsPerSubmitter; ++index) {
            queue->async([&, submitter, index] {
                if (running.exchange(true)) {
                    ++overlaps;
                }
                seen[submitter].push_back(index);
                running = false;
                if (--remaining == 0) {
                    finished.set_value();
                }
            });
        }
    };
    std::thread first(submit, 0);
    std::thread second(submit, 1);
    first.join();
    second.join();
    ASSERT_EQ(finished.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(overlaps, 0);
    for (const auto& indices : seen) {
        ASSERT_EQ(indices.size(), static_cast<std::size_t>(jobsPerSubmitter));
        for (int index = 0; index < jobsPerSubmitter; ++index) {
            ASSERT_EQ(indices[static_cast<std::size_t>(index)], index);
        }
    }
}

TEST_F(AsioDispatchTest, RunsDifferentQueuesSideBySide) {
    const auto waiting = dispatch.makeQueue("quorin.test.a");
    const auto other = dispatch.makeQueue("quorin.test.b");
    std::promise<void> otherRan;
    std::promise<bool> result;
    // The first job can finish only if the other queue runs while it is still running.
    waiting->async([&, ran = otherRan.get_future().share()] {
        result.set_value(ran.wait_for(30s) == std::future_status::ready);
    });
    other->async([&] { otherRan.set_value(); });
    EXPECT_TRUE(result.get_future().get());
}

TEST_F(AsioDispatchTest, RunsDelayedWorkOnceAfterItsDelayOnItsQueue) {
    const auto queue = dispatch.makeQueue("quorin.test.delayed");
    std::atomic<int> runs{0};
    std::promise<std::chrono::steady_clock::time_point> ran;
    const auto submitted = std::chrono::steady_clock::now();
    queue->asyncAfter(50ms, [&] {
        if (++runs == 1) {
            ran.set_value(std::chrono::steady_clock::now());
        }
    });
    // A job submitted later without delay runs first.
    std::promise<int> immediate;
    queue->async([&] { immediate.set_value(runs.load()); });
    EXPECT_EQ(immediate.get_future().get(), 0);
    auto when = ran.get_future();
    ASSERT_EQ(when.wait_for(30s), std::future_status::ready);
    EXPECT_GE(when.get() - submitted, 50ms);
    // A job due after it finds it ran exactly once.
    std::promise<int> later;
    queue->asyncAfter(60ms, [&] { later.set_value(runs.load()); });
    EXPECT_EQ(later.get_future().get(), 1);
}

}  // namespace
}  // namespace quorin::daemon
