#include "quorin/ProtectionPrompt.hpp"

#include "QuorinCore/Protection/ExecutionDecision.hpp"
#include "quorin/AuthorizationService.hpp"
#include "quorin/ProtectionReport.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>

namespace quorin::cli {

namespace {

constexpr std::string_view question = "[b]lock, allow [o]nce, [a]lways trust, [s]kip? ";

// A decision, or nothing for "skip".
using Answer = std::optional<ExecutionDecision>;

std::string lowerCaseTrimmed(std::string_view line) {
    const auto isSpace = [](char character) {
        return std::isspace(static_cast<unsigned char>(character)) != 0;
    };
    while (!line.empty() && isSpace(line.front())) {
        line.remove_prefix(1);
    }
    while (!line.empty() && isSpace(line.back())) {
        line.remove_suffix(1);
    }
    std::string text(line);
    std::transform(text.begin(), text.end(), text.begin(), [](char character) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    });
    return text;
}

// The answer a line gives, or nothing when it is not one of the accepted words.
std::optional<Answer> parseAnswer(std::string_view line) {
    static constexpr std::array<std::pair<std::string_view, Answer>, 10> words{{
        {"b", ExecutionDecision::block},
        {"block", ExecutionDecision::block},
        {"o", ExecutionDecision::allowOnce},
        {"once", ExecutionDecision::allowOnce},
        {"allowonce", ExecutionDecision::allowOnce},
        {"a", ExecutionDecision::alwaysTrust},
        {"always", ExecutionDecision::alwaysTrust},
        {"alwaystrust", ExecutionDecision::alwaysTrust},
        {"s", std::nullopt},
        {"skip", std::nullopt},
    }};
    const std::string word = lowerCaseTrimmed(line);
    for (const auto& [text, answer] : words) {
        if (word == text) {
            return answer;
        }
    }
    return std::nullopt;
}

}  // namespace

ProtectionPrompt::ProtectionPrompt(ProtectionRequests& daemon, std::istream& in, std::ostream& out,
                                   std::function<Date()> now, std::function<bool()> pause,
                                   std::function<bool()> authorizationUnavailable)
    : daemon_(daemon),
      in_(in),
      out_(out),
      now_(std::move(now)),
      pause_(std::move(pause)),
      authorizationUnavailable_(std::move(authorizationUnavailable)) {}

void ProtectionPrompt::run() {
    do {
        const ExecutionProtectionState state = decodedProtectionState(daemon_.protectionState());
        for (const ExecutionRequest& request : state.pending) {
            if (!asked_.insert(request.id).second) {
                continue;
            }
            if (!ask(request)) {
                return;
            }
        }
    } while (pause_());
}

bool ProtectionPrompt::ask(const ExecutionRequest& request) {
    const std::string path = describeExecutablePath(request.path);
    if (secondsLeft(request.deadline, now_()) == 0) {
        out_ << "Held: " << path << "\n  the time to decide has run out\n";
        return true;
    }
    out_ << formatHeldRequest(request, now_());
    while (true) {
        out_ << question << std::flush;
        std::string line;
        if (!std::getline(in_, line)) {
            out_ << "\n";
            return false;
        }
        const std::optional<Answer> answer = parseAnswer(line);
        if (!answer) {
            continue;
        }
        if (!*answer) {
            out_ << "skipped " << path << "\n";
            return true;
        }
        const ExecutionDecision decision = **answer;
        if (decision == ExecutionDecision::alwaysTrust && !request.canAlwaysTrust) {
            out_ << "its identity could not be established, so it cannot be trusted always\n";
            continue;
        }
        if (daemon_.decideExecution(request.id.uuidString(), std::string(rawValue(decision)))) {
            out_ << describeAppliedDecision(decision) << ": " << path << "\n";
        } else {
            out_ << "the daemon did not apply the decision for " << path << " ("
                 << refusalCause(decisionRefusalCause, authorizationUnavailable_) << ")\n";
        }
        return true;
    }
}

}  // namespace quorin::cli
