#pragma once

#include "QuorinDaemon/Platform/Log.hpp"

#include <mutex>

namespace quorin::daemon {

/// Writes each entry as one line on standard error, prefixed with its syslog priority in angle
/// brackets ("<5>" default, "<3>" error, "<2>" fault) so that the journal files it at the right
/// level, then the category: "<5>es: es_subscribe(...): ES_RETURN_SUCCESS". Private values print as
/// "<private>". Control characters in the message are escaped, so an entry is always one line.
class StandardErrorLogSink final : public LogSink {
  public:
    void write(const LogEntry& entry) override;

    /// The line written for `entry`, with its line feed.
    static std::string line(const LogEntry& entry);

  private:
    std::mutex mutex_;  // keeps lines from different threads whole
};

}  // namespace quorin::daemon
