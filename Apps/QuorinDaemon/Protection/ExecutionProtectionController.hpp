#pragma once

#include "QuorinCore/Protection/ExecutionCandidate.hpp"
#include "QuorinCore/Protection/ExecutionDecision.hpp"
#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionRequest.hpp"
#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/CodeSigning.hpp"
#include "QuorinDaemon/Platform/Dispatch.hpp"
#include "QuorinDaemon/Protection/ExecutableIdentification.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"
#include "QuorinDaemon/Protection/Rule.hpp"
#include "QuorinDaemon/Protection/User.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::daemon {

/// The daemon's single owner of what execution protection knows: each user's record
/// (configuration, trust rules, history), the executions held for a decision, a problem message
/// per user, and whether the exec client is subscribed. The exec client hands it the executions
/// that need the user and reports how each ended; the listener brings the user's configuration,
/// decisions and history requests; the attribution pipeline reports every changed path so the
/// aliases under watched roots stay current.
///
/// Every job that touches files (identification, recording, rule saving, snapshots,
/// configuration, history and alias refresh) runs on one serial work queue, so a user's file is
/// never written by two jobs at once. One mutex guards the maps and counters; it is held only for
/// short map work, never across file access, hashing, signature checks, a `respond` or a reply.
/// Replies are called exactly once, from the work queue or the calling thread. The controller
/// must outlive every job it queued.
class ExecutionProtectionController {
  public:
    using UserID = std::uint32_t;
    /// Whether the held message still awaits this request's vote. Called with the controller's
    /// lock held, so it must not call into the controller.
    using IsPending = std::function<bool()>;
    /// Casts the request's vote; returns whether it took effect. Never called with the lock held.
    using Respond = std::function<bool(bool allow, std::string_view reason)>;
    using BoolReply = std::function<void(bool)>;
    /// JSON bytes; empty when there is nothing to send.
    using DataReply = std::function<void(std::string)>;

    static constexpr std::size_t maximumIdentityJobs = 128;
    static constexpr std::size_t maximumPending = 128;
    static constexpr std::size_t maximumPendingPerUser = 32;
    /// Recording jobs beyond this many queued or running lose their outcome.
    static constexpr std::size_t maximumJournalJobs = 256;
    static constexpr std::size_t maximumOutcomes = 10'000;
    static constexpr std::size_t outcomesNearlyFull = 8'000;
    static constexpr std::size_t maximumRules = 1'000;
    static constexpr std::size_t snapshotOutcomes = 100;
    static constexpr std::size_t maximumAliasPaths = 1'024;
    static constexpr std::size_t maximumAliases = 20'000;

    /// Nothing is read from `directory` until a user is first needed. The seams must outlive the
    /// controller.
    ExecutionProtectionController(std::string directory, Dispatch& dispatch,
                                  CodeSigning& codeSigning, const Clock& clock);

    ExecutionProtectionController(const ExecutionProtectionController&) = delete;
    ExecutionProtectionController& operator=(const ExecutionProtectionController&) = delete;

    // --- The exec client ---

    /// Calls `body` with the user's configuration in memory (the default, disabled one when the
    /// user is not loaded) under the controller's lock, and returns its result. `body` must be
    /// short and must not call into the controller.
    template <class Body>
    decltype(auto) withConfiguration(UserID uid, Body&& body) const {
        const std::lock_guard lock(lock_);
        const auto found = users_.find(uid);
        return std::forward<Body>(body)(found == users_.end() ? defaultConfiguration()
                                                              : found->second.configuration);
    }

    /// Whether `concerns` holds for the configuration of any user in memory (a user not in memory
    /// has protection off), under the controller's lock: `concerns` must be short.
    template <class Predicate>
    bool anyConfiguration(Predicate&& concerns) const {
        const std::lock_guard lock(lock_);
        return std::any_of(users_.begin(), users_.end(),
                           [&](const auto& user) { return concerns(user.second.configuration); });
    }

    /// Whether the exec client is subscribed; shown in every snapshot and required for enabling.
    void setAvailable(bool available);
    /// Whether execs can be checked now (the last `setAvailable`).
    bool available() const;

    /// Turns the service's exec checking on or off; true when it did.
    using CheckingSwitch = std::function<bool(bool checking)>;
    /// Whether any user's protection is on, so that execs need checking at all.
    bool anyoneProtected() const;
    /// Called on the work queue when the first user turns protection on (enabling fails unless
    /// it returns true) and whenever a user turns it off and nobody else has it on.
    void setCheckingSwitch(CheckingSwitch checkingSwitch);
    /// Called on the work queue after anything the policy reads has changed in memory (a
    /// configuration applied, references stored, aliases moved), so that answers remembered from
    /// before are forgotten.
    void setPolicyChangedHandler(std::function<void()> handler);

    /// Holds an execution for identification and the user's decision: true when it is now held.
    /// False when the message no longer awaits it, or when it was answered at once through
    /// `respond`: allowed when the user's protection is off, blocked when a queue limit is
    /// reached. `reasons` are the policy's; when absent they are computed here.
    bool prepare(UserID uid, const ExecutionCandidate& candidate, const UUID& id, Date deadline,
                 std::optional<std::vector<ExecutionExplanation::Reason>> reasons,
                 IsPending isPending, Respond respond);

    /// Ends a held execution once its message is answered, and queues the recording of its
    /// outcome with the explanation it was held with.
    void completed(UserID uid, const UUID& id, const std::string& path, bool allowed,
                   std::string_view reason, ExecutionOutcomeResult result);

    // --- The listener ---

    /// The JSON-encoded `ExecutionProtectionState`. A user not in memory is loaded from storage
    /// with protection off: protection resumes only with the next accepted configuration.
    void state(UserID uid, DataReply reply);

    /// The user's answer to one of their held executions: true when it took effect.
    void decide(UserID uid, const UUID& id, ExecutionDecision decision, BoolReply reply);

    /// All of the user's outcomes, oldest first, as a JSON array; empty data on failure.
    void exportHistory(UserID uid, DataReply reply);
    /// Empties the history and removes the user's problem message.
    void clearHistory(UserID uid, BoolReply reply);
    /// Removes every trust rule; the problem message stays.
    void clearTrust(UserID uid, BoolReply reply);

    /// Stores and applies a configuration sent by the user whose home directory is `home`. True
    /// when it is stored and in force: enabling needs the exec client, disabling always applies
    /// and allows every execution of the user still held. Enabling an already enabled user
    /// replies true and changes nothing.
    void configure(UserID uid, std::string_view home, std::string_view data, BoolReply reply);

    /// Replaces the persistence references of an enabled user. Ignored when they break the
    /// reference rules.
    void updateReferences(UserID uid, std::map<std::string, Date> references);

    // --- The attribution pipeline ---

    /// Notes a changed path under an enabled user's roots for the next alias refresh.
    void observedChange(const std::string& path);

  private:
    struct Pending {
        UserID uid;
        ExecutionRequest request;
        std::optional<Rule> rule;
        IsPending isPending;
        Respond respond;
    };

    static const ExecutionProtectionConfiguration& defaultConfiguration();

    // Work-queue jobs.
    void identify(const UUID& id, const ExecutionCandidate& candidate, UserID uid);
    void record(UserID uid, ExecutionOutcome outcome);
    void saveTrustRule(UserID uid, const Rule& rule, const Respond& respond,
                       const BoolReply& reply);
    void snapshot(UserID uid, const DataReply& reply);
    void applyConfiguration(UserID uid, ExecutionProtectionConfiguration configuration,
                            const BoolReply& reply);
    void storeReferences(UserID uid, const std::map<std::string, Date>& references);
    void refreshAliases();
    /// Empties one list of the user's record, in storage and then in memory; with `clearsError`
    /// the user's problem message goes too.
    template <class List>
    void clear(UserID uid, List User::*list, bool clearsError, BoolReply reply);

    /// The user in memory, else the stored one, else the default. Throws what storage throws.
    User load(UserID uid) const;
    /// Allows every held execution of the user, as protection was turned off.
    void resolveAll(UserID uid);
    void setError(UserID uid, std::string_view message);
    /// Takes the lock.
    bool isLoaded(UserID uid) const;
    /// Tells the policy-changed handler; takes the lock.
    void announcePolicyChange() const;

    mutable std::mutex lock_;
    std::map<UserID, User> users_;          // guarded by lock_
    std::map<UUID, Pending> pending_;       // guarded by lock_
    std::set<std::string> aliasPaths_;      // guarded by lock_
    bool aliasRefreshScheduled_ = false;    // guarded by lock_
    std::size_t identityJobs_ = 0;          // guarded by lock_
    std::size_t journalJobs_ = 0;           // guarded by lock_
    bool available_ = false;                // guarded by lock_
    CheckingSwitch checkingSwitch_;         // guarded by lock_
    std::function<void()> policyChanged_;   // guarded by lock_
    std::map<UserID, std::string> errors_;  // guarded by lock_

    const ProtectionStorage storage_;
    const ExecutableIdentification identification_;
    const Clock& clock_;
    const std::shared_ptr<DispatchQueue> work_;
};

}  // namespace quorin::daemon
