#include "QuorinDaemon/Protection/ESExecutionClient.hpp"

#include "QuorinCore/Protection/DecisionBudget.hpp"
#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"
#include "QuorinDaemon/Protection/ExecutableIdentification.hpp"
#include "QuorinDaemon/Protection/ProtectionMessages.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

namespace quorin::daemon {

namespace {

using Messages = ProtectionMessages;
using Kind = ExecutionApprovalGate::Result::Kind;

constexpr std::uint32_t validSignatureFlag = 0x1;
constexpr std::uint32_t adHocFlag = 0x2;
constexpr std::int64_t maximumFieldBytes = 4'096;

// A text field of the message: UTF-8 with invalid sequences repaired, or "" when it is missing,
// empty or longer than any path or identifier the daemon will act on.
std::string field(const es_string_token_t& token) {
    return token.length <= maximumFieldBytes ? token.text() : "";
}

ExecutionFileVersion versionOf(const es_stat_t& status) {
    return ExecutionFileVersion{status.st_dev,
                                status.st_ino,
                                status.st_size,
                                status.st_mtimespec.tv_sec,
                                status.st_mtimespec.tv_nsec,
                                status.st_ctimespec.tv_sec,
                                status.st_ctimespec.tv_nsec};
}

// The exec's own file as a candidate; `initiatingExecutable` is "" while the process is unknown.
ExecutionCandidate targetCandidate(const es_process_t& target, std::string initiatingExecutable) {
    return ExecutionCandidate{field(target.executable.path),
                              versionOf(target.executable.stat),
                              target.is_platform_binary,
                              (target.codesigning_flags & validSignatureFlag) != 0,
                              (target.codesigning_flags & adHocFlag) != 0,
                              field(target.signing_id),
                              field(target.team_id),
                              std::move(initiatingExecutable),
                              target.executable.descriptor};
}

// Whether any user's protection would hold one of `candidates`, whoever runs them.
bool anyoneWouldHold(const std::vector<ExecutionCandidate>& candidates, Date now,
                     const ExecutionProtectionController& controller) {
    return controller.anyConfiguration([&](const auto& configuration) {
        return std::any_of(candidates.begin(), candidates.end(), [&](const auto& candidate) {
            return ExecutionProtectionPolicy::shouldAsk(candidate, configuration, now);
        });
    });
}

std::string decimal(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

}  // namespace

ESExecutionClient::Response::Response(EndpointSecurity& endpointSecurity, es_client_t client,
                                      const es_message_t& message, std::uint64_t gateDeadline,
                                      std::uint32_t uid, std::vector<Authorization> requests,
                                      ExecutionProtectionController& controller, Log log)
    : endpointSecurity_(endpointSecurity),
      client_(client),
      message_(message),
      uid_(uid),
      requests_(std::move(requests)),
      gate_(
          [this] {
              std::vector<UUID> ids;
              for (const Authorization& request : requests_) {
                  ids.push_back(request.id);
              }
              return ids;
          }(),
          gateDeadline),
      controller_(controller),
      log_(std::move(log)) {}

ESExecutionClient::Response::~Response() {
    endpointSecurity_.es_release_message(message_);
}

bool ESExecutionClient::Response::finish(ExecutionApprovalGate::Result result, bool requestedAllow,
                                         std::string_view reason) {
    if (result.kind() != Kind::finished) {
        return result.kind() == Kind::waiting;
    }
    // What runs is what the person or the rule allowed, or nothing: a file rewritten since it
    // was identified is blocked, and no rule is saved for it.
    const bool changed =
        result.allowed() &&
        std::any_of(requests_.begin(), requests_.end(), [](const Authorization& request) {
            return request.candidate.file &&
                   !ExecutableIdentification::isUnchanged(request.candidate);
        });
    const bool allowed = result.allowed() && !changed;
    const es_respond_result_t status = endpointSecurity_.es_respond_auth_result(
        client_, message_,
        allowed ? es_auth_result_t::ES_AUTH_RESULT_ALLOW : es_auth_result_t::ES_AUTH_RESULT_DENY,
        false);
    // Answered first: logging may itself wait for an exec.
    log_.log(LogLevel::default_, "AUTH response result=%u, allow=%{bool}d",
             {LogValue::public_(std::to_string(static_cast<std::uint32_t>(status))),
              LogValue::public_(allowed ? "true" : "false")});
    const bool answered = status == es_respond_result_t::ES_RESPOND_RESULT_SUCCESS;
    // Answered, the files are needed no more, however long this response is kept.
    for (Authorization& request : requests_) {
        request.candidate.file.reset();
    }
    if (changed) {
        reason = Messages::changedWhileHeld;
    } else if (requestedAllow && !allowed) {
        reason = Messages::blockedAfterTimeout;  // the approval came at or after the deadline
    }
    for (const Authorization& request : requests_) {
        if (!answered) {
            controller_.completed(uid_, request.id, request.candidate.path, false,
                                  ExecutionOutcome::responseFailedReason,
                                  ExecutionOutcomeResult::unknown);
        } else if (requests_.size() == 2 && allowed) {
            controller_.completed(uid_, request.id, request.candidate.path, true,
                                  Messages::allowedScriptAndInterpreter,
                                  ExecutionOutcomeResult::allowed);
        } else {
            controller_.completed(
                uid_, request.id, request.candidate.path, allowed, reason,
                allowed ? ExecutionOutcomeResult::allowed : ExecutionOutcomeResult::blocked);
        }
    }
    return answered && requestedAllow == allowed;
}

ESExecutionClient::ESExecutionClient(EndpointSecurity& endpointSecurity, Dispatch& dispatch,
                                     const Clock& clock, std::shared_ptr<LogSink> logSink)
    : endpointSecurity_(endpointSecurity),
      clock_(clock),
      log_(std::move(logSink), std::string(daemonLogSubsystem), "protect"),
      deadlines_(dispatch.makeQueue("quorin.protect.deadlines")) {}

void ESExecutionClient::start(ExecutionProtectionController& controller) {
    const es_new_client_outcome outcome = endpointSecurity_.es_new_client(
        [this, &controller](es_client_t client, const es_message_t& message) {
            handle(client, message, controller);
        });
    bool available = false;
    if (outcome.result == es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS && outcome.client) {
        const es_client_t client = *outcome.client;
        endpointSecurity_.setAvailabilityHandler(
            client, [&controller](bool now) { controller.setAvailable(now); });
        endpointSecurity_.setExecInterest(client, [this, &controller](const es_process_t& target) {
            return concernsAnyone(target, controller);
        });
        const auto succeeded = [](es_return_t result) {
            return result == es_return_t::ES_RETURN_SUCCESS;
        };
        available =
            succeeded(endpointSecurity_.setExecChecking(client, controller.anyoneProtected())) &&
            succeeded(
                endpointSecurity_.es_subscribe(client, {es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC}));
        if (available) {
            controller.setCheckingSwitch([this, client, succeeded](bool checking) {
                return succeeded(endpointSecurity_.setExecChecking(client, checking));
            });
            controller.setPolicyChangedHandler([this, client] {
                if (endpointSecurity_.es_clear_cache(client) !=
                    es_clear_cache_result_t::ES_CLEAR_CACHE_RESULT_SUCCESS) {
                    log_.log(LogLevel::error, "Clearing the exec answer cache failed");
                }
            });
        } else {
            endpointSecurity_.es_delete_client(client);
        }
    }
    controller.setAvailable(available);
}

bool ESExecutionClient::concernsAnyone(const es_process_t& target,
                                       const ExecutionProtectionController& controller) const {
    return anyoneWouldHold({targetCandidate(target, "")}, clock_.now(), controller);
}

std::vector<ExecutionCandidate> ESExecutionClient::candidates(const es_message_t& message) {
    const std::string initiatingExecutable = field(message.process.executable.path);
    std::vector<ExecutionCandidate> result{
        targetCandidate(message.event.exec.target, initiatingExecutable)};
    if (message.version >= 2 && message.event.exec.script) {
        const es_file_t& script = *message.event.exec.script;
        result.push_back(ExecutionCandidate{field(script.path), versionOf(script.stat), false,
                                            false, false, "", "", initiatingExecutable,
                                            script.descriptor});
    }
    return result;
}

void ESExecutionClient::handle(es_client_t client, const es_message_t& message,
                               ExecutionProtectionController& controller) {
    if (message.event_type != es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC) {
        return;
    }
    const std::uint32_t uid = audit_token_to_ruid(message.process.audit_token);
    const Date now = clock_.now();
    std::vector<ExecutionCandidate> gathered = candidates(message);
    if (uid == es_unknown_ruid) {
        answerUnknownUser(client, message, gathered, now, controller);
        return;
    }
    std::vector<std::vector<ExecutionExplanation::Reason>> reasons;
    controller.withConfiguration(uid, [&](const ExecutionProtectionConfiguration& configuration) {
        for (const ExecutionCandidate& candidate : gathered) {
            reasons.push_back(ExecutionProtectionPolicy::reasons(candidate, configuration, now));
        }
    });
    std::vector<Authorization> authorizations;
    for (std::size_t index = 0; index < gathered.size(); ++index) {
        if (!reasons[index].empty()) {
            authorizations.push_back(Authorization{UUID::random(), std::move(gathered[index]),
                                                   std::move(reasons[index])});
        }
    }
    if (authorizations.empty()) {
        if (endpointSecurity_.es_respond_auth_result(
                client, message, es_auth_result_t::ES_AUTH_RESULT_ALLOW, false) !=
            es_respond_result_t::ES_RESPOND_RESULT_SUCCESS) {
            log_.log(LogLevel::error, "Immediate AUTH_EXEC response failed");
        }
        return;
    }
    hold(client, message, uid, std::move(authorizations), controller);
}

void ESExecutionClient::answerUnknownUser(es_client_t client, const es_message_t& message,
                                          const std::vector<ExecutionCandidate>& gathered, Date now,
                                          ExecutionProtectionController& controller) {
    // Whose protection applies cannot be told, so every user's is asked: an exec that any of
    // them would hold is blocked, since nobody can be asked about it.
    const bool concerned = anyoneWouldHold(gathered, now, controller);
    const es_respond_result_t status = endpointSecurity_.es_respond_auth_result(
        client, message,
        concerned ? es_auth_result_t::ES_AUTH_RESULT_DENY : es_auth_result_t::ES_AUTH_RESULT_ALLOW,
        false);
    if (concerned) {
        log_.log(
            LogLevel::error,
            "Blocked an execution of %{private}s by pid %{public}d: its user is unknown",
            {LogValue::private_(gathered.front().path),
             LogValue::public_(std::to_string(audit_token_to_pid(message.process.audit_token)))});
    } else if (status != es_respond_result_t::ES_RESPOND_RESULT_SUCCESS) {
        log_.log(LogLevel::error, "Immediate AUTH_EXEC response failed");
    }
}

void ESExecutionClient::hold(es_client_t client, const es_message_t& message, std::uint32_t uid,
                             std::vector<Authorization> authorizations,
                             ExecutionProtectionController& controller) {
    const DecisionBudget budget =
        DecisionBudget::compute(clock_.absoluteTime(), message.deadline, clock_.timebase());
    const std::optional<DecisionBudget::Hold>& granted = budget.hold();
    // The controller reads the files; the response keeps them only until it answers.
    std::vector<ExecutionCandidate> candidates;
    for (const Authorization& request : authorizations) {
        candidates.push_back(request.candidate);
    }
    endpointSecurity_.es_retain_message(message);
    const auto response = std::make_shared<Response>(endpointSecurity_, client, message,
                                                     granted ? granted->gateDeadline : 0, uid,
                                                     std::move(authorizations), controller, log_);
    if (!granted) {
        response->finish(response->gate().expire(), false, Messages::insufficientDecisionTime);
        return;
    }
    const double timeout = granted->timeoutSeconds;
    log_.log(LogLevel::default_, "AUTH waiting: %ld candidates, budget=%f, timeout=%f",
             {LogValue::public_(std::to_string(response->requests().size())),
              LogValue::public_(decimal(budget.remainingSeconds())),
              LogValue::public_(decimal(timeout))});
    deadlines_->asyncAfter(std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::duration<double>(timeout)),
                           [response] {
                               response->finish(response->gate().expire(), false,
                                                Messages::blockedAfterTimeout);
                           });
    for (std::size_t index = 0; index < candidates.size(); ++index) {
        const Authorization& request = response->requests()[index];
        const Date deadline = clock_.now().addingTimeInterval(timeout);
        controller.prepare(
            uid, candidates[index], request.id, deadline, request.reasons,
            [response, id = request.id] { return response->gate().isPending(id); },
            [this, response, id = request.id](bool allow, std::string_view reason) {
                return response->finish(response->gate().vote(id, clock_.absoluteTime(), allow),
                                        allow, reason);
            });
    }
}

}  // namespace quorin::daemon
