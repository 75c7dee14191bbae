#include "quorin/ProtectionReport.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/ReplayCommand.hpp"

#include <cmath>
#include <ctime>
#include <stdexcept>

namespace quorin::cli {

namespace {

template <class Item, class Describe>
std::string joined(const std::vector<Item>& items, Describe&& describe) {
    std::string text;
    for (const Item& item : items) {
        text += (text.empty() ? "" : ", ") + describe(item);
    }
    return text;
}

std::string describeReasons(const ExecutionRequest& request) {
    if (!request.explanation || request.explanation->reasons.empty()) {
        return "not given";
    }
    return joined(request.explanation->reasons, [](ExecutionExplanation::Reason reason) {
        return std::string(rawValue(reason));
    });
}

// "signature unsigned, trust noMatchingRule", with the signing identity when there is one.
std::string describeIdentity(const ExecutionRequest& request) {
    std::string text = "signature ";
    text += request.explanation ? rawValue(request.explanation->signature) : "unknown";
    if (!request.signingID.empty() || !request.teamID.empty()) {
        text += " (" + (request.signingID.empty() ? "no identifier" : safe(request.signingID));
        text += request.teamID.empty() ? ")" : ", team " + safe(request.teamID) + ")";
    }
    text += ", trust ";
    text += request.explanation ? rawValue(request.explanation->trust) : "unknown";
    return text;
}

std::string describeOutcome(const ExecutionOutcome& outcome) {
    return formatLocalTime(outcome.date) + "  " + std::string(rawValue(outcome.resolvedResult())) +
           "  " + safe(outcome.reason) + "  " + describeExecutablePath(outcome.path) + "\n";
}

// `data` decoded; `failed` when the daemon replied empty data, its own way of saying it failed.
template <class T>
T decodedReply(const std::string& data, std::string_view name, std::string_view failed) {
    if (data.empty()) {
        throw std::runtime_error(std::string(failed));
    }
    try {
        return decodeJSONText<T>(data);
    } catch (const DecodingError& error) {
        throw std::runtime_error("the daemon's " + std::string(name) +
                                 " does not decode: " + error.what());
    }
}

}  // namespace

ExecutionProtectionState decodedProtectionState(const std::string& data) {
    return decodedReply<ExecutionProtectionState>(
        data, "protection state", "the daemon could not report the protection state");
}

std::vector<ExecutionOutcome> decodedExecutionHistory(const std::string& data) {
    return decodedReply<std::vector<ExecutionOutcome>>(
        data, "execution history", "the daemon could not export the execution history");
}

std::string formatLocalTime(Date date) {
    constexpr double earliestUnixTime = -62'135'596'800.0;  // 0001-01-01T00:00:00Z
    constexpr double latestUnixTime = 253'402'300'799.0;    // 9999-12-31T23:59:59Z
    const double unixTime = std::floor(date.unixTime());
    // A day of margin on either side keeps every local time zone inside the four-digit years.
    if (!(unixTime >= earliestUnixTime + 86'400 && unixTime <= latestUnixTime - 86'400)) {
        return formatTimestamp(date);
    }
    const auto seconds = static_cast<std::time_t>(unixTime);
    std::tm local{};
    char text[32];
    if (::localtime_r(&seconds, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return formatTimestamp(date);
    }
    return text;
}

std::int64_t secondsLeft(Date deadline, Date now) {
    const double left =
        std::floor(deadline.timeIntervalSinceReferenceDate - now.timeIntervalSinceReferenceDate);
    if (!(left > 0)) {
        return 0;
    }
    // Capped so that a deadline decades away, or an infinite one, still converts safely.
    return left < 1e9 ? static_cast<std::int64_t>(left) : std::int64_t{1'000'000'000};
}

std::string formatProtectionState(const ExecutionProtectionState& state) {
    std::string text;
    text += std::string("Protection: ") + (state.enabled ? "enabled" : "disabled") + "\n";
    text += std::string("Exec client: ") + (state.available ? "available" : "not available") + "\n";
    text +=
        "Roots: " +
        (state.executableRoots.empty()
             ? std::string("none")
             : joined(state.executableRoots, [](const std::string& root) { return safe(root); })) +
        "\n";
    if (state.error) {
        text += "Problem: " + safe(*state.error) + "\n";
    }
    text += "Trusted rules: " + std::to_string(state.trustedRuleCount) + "\n";
    text += "Pending requests: " +
            (state.pending.empty() ? std::string("none") : std::to_string(state.pending.size())) +
            "\n";
    for (const ExecutionRequest& request : state.pending) {
        text += "  " + request.id.uuidString() + "  " + describeExecutablePath(request.path) + "\n";
        text += "    reasons " + describeReasons(request) + "; " + describeIdentity(request) + "\n";
        text += "    deadline " + formatLocalTime(request.deadline) + "\n";
    }
    text += "Recent outcomes: " +
            (state.outcomes.empty() ? std::string("none") : std::to_string(state.outcomes.size())) +
            "\n";
    for (const ExecutionOutcome& outcome : state.outcomes) {
        text += "  " + describeOutcome(outcome);
    }
    return text;
}

std::string formatExecutionHistory(const std::vector<ExecutionOutcome>& outcomes) {
    if (outcomes.empty()) {
        return "No executions recorded\n";
    }
    std::string text;
    for (const ExecutionOutcome& outcome : outcomes) {
        text += describeOutcome(outcome);
    }
    return text;
}

std::string formatHeldRequest(const ExecutionRequest& request, Date now) {
    return "Held: " + describeExecutablePath(request.path) + "\n  reasons " +
           describeReasons(request) + "\n  " + describeIdentity(request) + "\n  " +
           std::to_string(secondsLeft(request.deadline, now)) + " s left\n";
}

std::string describeExecutablePath(const std::string& path) {
    return path.empty() ? "(Executable has no path in the file system)" : safe(path);
}

std::string_view describeAppliedDecision(ExecutionDecision decision) {
    switch (decision) {
        case ExecutionDecision::block:
            return "blocked";
        case ExecutionDecision::allowOnce:
            return "allowed once";
        case ExecutionDecision::alwaysTrust:
            return "allowed, and trusted from now on";
    }
    return "decided";
}

}  // namespace quorin::cli
