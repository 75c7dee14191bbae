#pragma once

#include "QuorinDaemon/Platform/Log.hpp"

#include <mutex>

namespace quorin::daemon::testing {

/// Keeps every entry, from any thread, for a test to read back.
class CapturingLogSink final : public LogSink {
  public:
    void write(const LogEntry& entry) override {
        const std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }

    /// Each entry as "category level: message", private values shown unless `revealPrivate` is
    /// false.
    std::vector<std::string> lines(bool revealPrivate = true) const {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> result;
        for (const LogEntry& entry : entries_) {
            const char* level = entry.level == LogLevel::default_ ? "default"
                                : entry.level == LogLevel::error  ? "error"
                                                                  : "fault";
            result.push_back(entry.category + " " + level + ": " + entry.message(revealPrivate));
        }
        return result;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

}  // namespace quorin::daemon::testing
