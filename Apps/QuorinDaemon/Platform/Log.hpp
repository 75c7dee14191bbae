#pragma once

// The system log as the daemon writes to it: entries under a subsystem and a category, at one of
// three levels, built from a format in the system log's style ("writer=%{private}s pid=%{public}d")
// and values that are either public (codes, counts, flags) or private (paths, identities). A sink
// decides where entries go and whether private values are shown.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::daemon {

enum class LogLevel {
    default_,  // ordinary progress
    error,     // something failed; the daemon carries on
    fault,     // the daemon cannot go on
};

/// One value of an entry, already formatted as text.
struct LogValue {
    std::string text;
    bool isPrivate = false;

    static LogValue public_(std::string text) { return {std::move(text), false}; }
    static LogValue private_(std::string text) { return {std::move(text), true}; }

    friend bool operator==(const LogValue&, const LogValue&) = default;
};

struct LogEntry {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string format;
    std::vector<LogValue> values;

    /// The format with each "%{public}X", "%{private}X", "%{bool}X" or plain "%X" placeholder
    /// replaced by the next value (or "<private>" for a private value unless `revealPrivate`),
    /// and "%%" by "%". Placeholders without a value are left as they stand. A private value that
    /// is a path in one of the shared system folders every user may watch (written without "."
    /// or ".." parts) belongs to nobody in particular and is shown.
    std::string message(bool revealPrivate) const;

    friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

/// Where entries go. Called from any thread; implementations serialize as they need.
class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void write(const LogEntry& entry) = 0;
};

/// A logger for one subsystem and category. Cheap to copy; copies share the sink.
class Log {
  public:
    Log(std::shared_ptr<LogSink> sink, std::string subsystem, std::string category)
        : sink_(std::move(sink)),
          subsystem_(std::move(subsystem)),
          category_(std::move(category)) {}

    void log(LogLevel level, std::string format, std::vector<LogValue> values = {}) const;

    const std::string& category() const { return category_; }

  private:
    std::shared_ptr<LogSink> sink_;
    std::string subsystem_;
    std::string category_;
};

/// The subsystem every daemon log entry is filed under.
inline constexpr std::string_view daemonLogSubsystem = "com.brenmoor.quorin.daemon";

}  // namespace quorin::daemon
