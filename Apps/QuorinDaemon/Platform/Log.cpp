#include "QuorinDaemon/Platform/Log.hpp"

namespace quorin::daemon {

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
            text += value.isPrivate && !revealPrivate ? "<private>" : value.text;
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
