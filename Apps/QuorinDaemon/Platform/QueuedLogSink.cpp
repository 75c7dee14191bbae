#include "QuorinDaemon/Platform/QueuedLogSink.hpp"

#include <optional>
#include <utility>

namespace quorin::daemon {

QueuedLogSink::QueuedLogSink(std::shared_ptr<LogSink> wrapped)
    : wrapped_(std::move(wrapped)), writer_([this] { writeInOrder(); }) {}

QueuedLogSink::~QueuedLogSink() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_one();
    writer_.join();
}

void QueuedLogSink::write(const LogEntry& entry) {
    {
        const std::lock_guard lock(mutex_);
        if (entries_.size() >= maximumQueuedLogEntries) {
            ++dropped_;
            return;
        }
        entries_.push_back(Queued{std::exchange(dropped_, 0), entry});
        ++queuedCount_;
    }
    queued_.notify_one();
}

void QueuedLogSink::flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = queuedCount_;
    written_.wait(lock, [this, target] { return writtenCount_ >= target; });
}

void QueuedLogSink::writeInOrder() {
    std::unique_lock lock(mutex_);
    bool wroteSinceRest = false;
    for (;;) {
        if (wroteSinceRest && entries_.empty() && dropped_ == 0 && !stopping_) {
            // Not waiting on the condition meanwhile, entries queued now cost their writers no
            // wake-up; they are written together after the rest.
            wroteSinceRest = false;
            lock.unlock();
            std::this_thread::sleep_for(restAfterWriting);
            lock.lock();
            continue;
        }
        queued_.wait(lock, [this] { return stopping_ || !entries_.empty() || dropped_ > 0; });
        // The next entry with the count dropped just before it, or, once the queue has run dry,
        // the count dropped after the last one.
        std::uint64_t dropped = 0;
        std::optional<LogEntry> entry;
        if (!entries_.empty()) {
            dropped = entries_.front().droppedBefore;
            entry = std::move(entries_.front().entry);
            entries_.pop_front();
        } else if (dropped_ > 0) {
            dropped = std::exchange(dropped_, 0);
        } else {
            return;  // stopping, and everything is written
        }
        lock.unlock();
        if (dropped > 0) {
            wrapped_->write(LogEntry{std::string(daemonLogSubsystem),
                                     "log",
                                     LogLevel::error,
                                     "%{public}llu log entries were dropped",
                                     {LogValue::public_(std::to_string(dropped))}});
        }
        if (entry) {
            wrapped_->write(*entry);
        }
        lock.lock();
        wroteSinceRest = true;
        if (entry) {
            ++writtenCount_;
            written_.notify_all();
        }
    }
}

}  // namespace quorin::daemon
