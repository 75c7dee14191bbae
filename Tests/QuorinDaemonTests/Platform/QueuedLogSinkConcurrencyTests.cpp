#include "Fakes/CapturingLogSink.hpp"
#include "QuorinDaemon/Platform/QueuedLogSink.hpp"

#include <gtest/gtest.h>

#include <condition_variable>

namespace quorin::daemon {
namespace {

// A destination that stalls, as a journal stream nobody reads does: each write waits until the
// test opens it, then keeps the entry.
class StallingSink final : public LogSink {
  public:
    void write(const LogEntry& entry) override {
        std::unique_lock lock(mutex_);
        writing_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        kept.write(entry);
    }
    void waitUntilWriting() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return writing_; });
    }
    void open() {
        const std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

    testing::CapturingLogSink kept;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool writing_ = false;
    bool open_ = false;
};

// While the destination stalls on entry 0, writes return at once: the bound's worth of entries
// waits and the two past it are dropped. The destructor then writes everything, in order, with the
// count of dropped entries where they would have been.
TEST(QueuedLogSinkTest, KeepsTheBoundWhileTheDestinationStallsAndCountsWhatItDrops) {
    constexpr std::size_t bound = QueuedLogSink::maximumQueuedLogEntries;
    const auto stalling = std::make_shared<StallingSink>();
    std::vector<std::string> expected;
    {
        QueuedLogSink sink(stalling);
        for (std::size_t index = 0; index <= bound + 2; ++index) {
            sink.write(LogEntry{"s",
                                "c",
                                LogLevel::default_,
                                "%{public}llu",
                                {LogValue::public_(std::to_string(index))}});
            if (index == 0) {
                stalling->waitUntilWriting();  // entry 0 is out of the queue
            }
            if (index <= bound) {
                expected.push_back("c default: " + std::to_string(index));
            }
        }
        EXPECT_TRUE(stalling->kept.lines().empty());
        stalling->open();
    }
    expected.push_back("log error: 2 log entries were dropped");
    EXPECT_EQ(stalling->kept.lines(), expected);
}

}  // namespace
}  // namespace quorin::daemon
