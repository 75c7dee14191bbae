#include "QuorinDaemon/Platform/Log.hpp"

#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"

#include <algorithm>

namespace quorin::daemon {

namespace {

bool inSharedFolder(std::string_view path) {
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start + 1), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (part == "/." || part == "/..") {
            return false;
        }
        start = end;
    }
    return DaemonPathAuthorization::inSharedRoot(path);
}

}  // namespace

std::string LogEntry::message(bool revealPrivate) const {
    std::string text;
    std::size_t next = 0;
    for (std::size_t index = 0; index < format.size(); ++index) {
        if (format[index] != '%' || index + 1 == format.size()) {
            text += format[index];
            continue;
        }
        if (format[index + 1] == '%') {
            text += '%';
            ++index;
            continue;
        }
        // A placeholder: an optional "{...}" annotation, then length letters and the conversion.
        std::size_t end = index + 1;
        if (format[end] == '{') {
            const std::size_t close = format.find('}', end);
            end = close == std::string::npos ? format.size() : close + 1;
        }
        while (end < format.size() &&
               std::string_view("lhzjt").find(format[end]) != std::string_view::npos) {
            ++end;
        }
        if (end < format.size()) {
            ++end;  // the conversion letter
        }
        if (next < values.size()) {
            const LogValue& value = values[next++];
            const bool hidden = value.isPrivate && !revealPrivate && !inSharedFolder(value.text);
            text += hidden ? "<private>" : value.text;
        } else {
            text += format.substr(index, end - index);
        }
        index = end - 1;
    }
    return text;
}

void Log::log(LogLevel level, std::string format, std::vector<LogValue> values) const {
    sink_->write(LogEntry{subsystem_, category_, level, std::move(format), std::move(values)});
}

}  // namespace quorin::daemon
