#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <future>
#include <thread>

namespace quorin::daemon {
namespace {

using namespace std::chrono_literals;

TEST(AsioDispatchTest, RunsQueuesSideBySideEachJobOnceInOrderAndDelayedWorkAfterItsDelay) {
    // Queues on a pool of several threads, as the daemon runs them.
    asio::thread_pool pool{4};
    AsioDispatch dispatch{pool.get_executor()};
    const auto queue = dispatch.makeQueue("quorin.test.serial");
    constexpr int jobsPerSubmitter = 5'000;
    std::atomic<bool> running{false};
    std::atomic<int> faults{0};  // jobs that overlapped or came out of order
    std::atomic<int> remaining{2 * jobsPerSubmitter};
    std::promise<void> finished;
    // Written only by the queue's jobs, which never overlap: no lock needed.
    int next[2] = {0, 0};
    const auto submit = [&](int submitter) {
        for (int index = 0; index < jobsPerSubmitter; ++index) {
            queue->async([&, submitter, index] {
                faults += running.exchange(true) || next[submitter]++ != index ? 1 : 0;
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
    EXPECT_EQ(faults, 0);
    EXPECT_TRUE(next[0] == jobsPerSubmitter && next[1] == jobsPerSubmitter);

    // Different queues run side by side.
    const auto other = dispatch.makeQueue("quorin.test.other");
    std::promise<void> otherRan;
    std::promise<bool> sideBySide;
    // The first job can finish only if the other queue runs while it is still running.
    queue->async([&, ran = otherRan.get_future().share()] {
        sideBySide.set_value(ran.wait_for(30s) == std::future_status::ready);
    });
    other->async([&] { otherRan.set_value(); });
    EXPECT_TRUE(sideBySide.get_future().get());

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
