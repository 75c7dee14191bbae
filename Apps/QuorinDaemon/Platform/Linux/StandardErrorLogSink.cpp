#include "QuorinDaemon/Platform/Linux/StandardErrorLogSink.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"

#include <cstdio>

namespace quorin::daemon {

namespace {

std::string_view priority(LogLevel level) {
    switch (level) {
        case LogLevel::default_:
            return "<5>";
        case LogLevel::error:
            return "<3>";
        case LogLevel::fault:
            return "<2>";
    }
    return "<5>";
}

}  // namespace

std::string StandardErrorLogSink::line(const LogEntry& entry) {
    return std::string(priority(entry.level)) + entry.subsystem + "/" + entry.category + ": " +
           ReplayTerminalOutput::sanitize(entry.message(false)) + "\n";
}

void StandardErrorLogSink::write(const LogEntry& entry) {
    const std::string text = line(entry);
    const std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace quorin::daemon
