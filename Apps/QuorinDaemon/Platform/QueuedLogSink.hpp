#pragma once

#include "QuorinDaemon/Platform/Log.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace quorin::daemon {

/// A sink that never keeps its caller waiting: `write` queues the entry and returns, and a writer
/// thread of its own hands the entries to the wrapped sink in order, so a stalled destination (a
/// journal stream nobody reads) cannot stop a thread that answers execs. At most
/// `maximumQueuedLogEntries` entries wait besides the one being written; an entry past them is
/// dropped and counted, and where the dropped entries would have been, the writer writes one entry
/// "N log entries were dropped" (category "log", error level) instead. The destructor writes
/// everything still queued, then joins the writer.
///
/// Once it has written, the writer rests for `restAfterWriting` before it looks at the queue
/// again, so that a stream of entries (one per record under a burst of changes) wakes it once
/// per rest rather than once per entry; an entry written after a quiet spell is written at once.
class QueuedLogSink final : public LogSink {
  public:
    static constexpr std::size_t maximumQueuedLogEntries = 4'096;
    static constexpr std::chrono::milliseconds restAfterWriting{2};

    explicit QueuedLogSink(std::shared_ptr<LogSink> wrapped);
    ~QueuedLogSink() override;

    QueuedLogSink(const QueuedLogSink&) = delete;
    QueuedLogSink& operator=(const QueuedLogSink&) = delete;

    void write(const LogEntry& entry) override;

    /// Returns once every entry queued before the call has reached the wrapped sink, for a process
    /// about to end without unwinding.
    void flush();

  private:
    struct Queued {
        std::uint64_t droppedBefore;  // entries dropped between the one before and this one
        LogEntry entry;
    };

    void writeInOrder();

    std::shared_ptr<LogSink> wrapped_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable written_;
    std::deque<Queued> entries_;     // guarded by mutex_
    std::uint64_t dropped_ = 0;      // since the last entry queued; guarded by mutex_
    std::uint64_t queuedCount_ = 0;  // every entry ever queued; guarded by mutex_
    std::uint64_t writtenCount_ =
        0;                   // of those, how many reached the wrapped sink; guarded by mutex_
    bool stopping_ = false;  // guarded by mutex_
    std::thread writer_;     // last, so it starts once everything it uses exists
};

}  // namespace quorin::daemon
