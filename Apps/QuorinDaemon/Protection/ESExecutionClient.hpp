#pragma once

#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinCore/Protection/ExecutionCandidate.hpp"
#include "QuorinCore/Protection/ExecutionExplanation.hpp"
#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/Dispatch.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Log.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace quorin::daemon {

/// Connects execution protection to the security-event service: a client subscribed to exec
/// authorization only. For each exec message it gathers the executables that would run (the
/// target, and the script of a script exec), asks the policy which need the user, answers at once
/// when none does, and otherwise holds the message behind an approval gate while the controller
/// identifies the executables and the user decides. Every message is answered exactly once, and
/// each held request's outcome is handed to the controller to record.
///
/// The handler runs on the service's delivery queue and never waits for the user, for
/// identification or for storage. The expiry timers run on one serial queue,
/// "quorin.protect.deadlines". The service, the clock and the controller must outlive every
/// message the client holds, which is the life of the process.
class ESExecutionClient {
  public:
    /// One executable of a message that needs the user.
    struct Authorization {
        UUID id;
        ExecutionCandidate candidate;
        std::vector<ExecutionExplanation::Reason> reasons;  // never empty
    };

    /// One held message, shared by its expiry timer and the controller's held entries; the
    /// message is released when the last of them lets go.
    class Response {
      public:
        /// Takes over one retain of `message`.
        Response(EndpointSecurity& endpointSecurity, es_client_t client,
                 const es_message_t& message, std::uint64_t gateDeadline, std::uint32_t uid,
                 std::vector<Authorization> requests, ExecutionProtectionController& controller,
                 Log log);
        ~Response();
        Response(const Response&) = delete;
        Response& operator=(const Response&) = delete;

        ExecutionApprovalGate& gate() { return gate_; }
        const std::vector<Authorization>& requests() const { return requests_; }

        /// Acts on what a vote or the expiry did to the gate: nothing for a rejected call, true
        /// for an approval that awaits the other request; the call that finished the gate answers
        /// the service, has every request's outcome recorded, and returns whether the answer
        /// went out as `requestedAllow` asked.
        bool finish(ExecutionApprovalGate::Result result, bool requestedAllow,
                    std::string_view reason);

      private:
        EndpointSecurity& endpointSecurity_;
        es_client_t client_;
        const es_message_t& message_;
        std::uint32_t uid_;
        std::vector<Authorization> requests_;
        ExecutionApprovalGate gate_;
        ExecutionProtectionController& controller_;
        Log log_;
    };

    ESExecutionClient(EndpointSecurity& endpointSecurity, Dispatch& dispatch, const Clock& clock,
                      std::shared_ptr<LogSink> logSink);

    /// Creates the client and subscribes it to exec authorization; the controller's
    /// `available` says whether that worked, and follows the service when it loses the
    /// subscription and gets it back. Nothing is logged or retried on failure. Execs are checked
    /// only while the controller has someone protected, and the service allows by itself every
    /// exec whose file concerns no one (`concernsAnyone`).
    void start(ExecutionProtectionController& controller);

    /// Whether any user's protection would hold an exec of `target`, whoever runs it: the
    /// service's first question about each exec.
    bool concernsAnyone(const es_process_t& target,
                        const ExecutionProtectionController& controller) const;

    /// The executables a message would run: its target, then the script of a script exec.
    static std::vector<ExecutionCandidate> candidates(const es_message_t& message);

    /// Handles one message (on the service's delivery queue).
    void handle(es_client_t client, const es_message_t& message,
                ExecutionProtectionController& controller);

  private:
    /// Answers an exec whose process's user is unknown: blocked when any user's protection
    /// would hold it, allowed otherwise.
    void answerUnknownUser(es_client_t client, const es_message_t& message,
                           const std::vector<ExecutionCandidate>& gathered, Date now,
                           ExecutionProtectionController& controller);
    void hold(es_client_t client, const es_message_t& message, std::uint32_t uid,
              std::vector<Authorization> authorizations, ExecutionProtectionController& controller);

    EndpointSecurity& endpointSecurity_;
    const Clock& clock_;
    Log log_;
    std::shared_ptr<DispatchQueue> deadlines_;
};

}  // namespace quorin::daemon
