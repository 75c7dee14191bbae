#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include "QuorinCore/Protection/ExecutionProtectionConfigurationAcceptance.hpp"
#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinDaemon/Protection/ExecutableAliases.hpp"
#include "QuorinDaemon/Protection/ProtectionError.hpp"
#include "QuorinDaemon/Protection/ProtectionMessages.hpp"
#include "QuorinDaemon/Protection/Verification.hpp"

#include <algorithm>
#include <exception>
#include <utility>
#include <variant>

namespace quorin::daemon {

namespace {
using Messages = ProtectionMessages;
}  // namespace

ExecutionProtectionController::ExecutionProtectionController(std::string directory,
                                                             Dispatch& dispatch,
                                                             CodeSigning& codeSigning,
                                                             const Clock& clock)
    : storage_(std::move(directory)),
      identification_(codeSigning, clock),
      clock_(clock),
      work_(dispatch.makeQueue("quorin.protect.storage")) {}

const ExecutionProtectionConfiguration& ExecutionProtectionController::defaultConfiguration() {
    static const ExecutionProtectionConfiguration configuration{};
    return configuration;
}

void ExecutionProtectionController::setAvailable(bool available) {
    const std::lock_guard lock(lock_);
    available_ = available;
}

bool ExecutionProtectionController::available() const {
    const std::lock_guard lock(lock_);
    return available_;
}

bool ExecutionProtectionController::anyoneProtected() const {
    return anyConfiguration([](const auto& configuration) { return configuration.enabled; });
}

void ExecutionProtectionController::setCheckingSwitch(CheckingSwitch checkingSwitch) {
    const std::lock_guard lock(lock_);
    checkingSwitch_ = std::move(checkingSwitch);
}

void ExecutionProtectionController::setPolicyChangedHandler(std::function<void()> handler) {
    const std::lock_guard lock(lock_);
    policyChanged_ = std::move(handler);
}

void ExecutionProtectionController::announcePolicyChange() const {
    std::function<void()> handler;
    {
        const std::lock_guard lock(lock_);
        handler = policyChanged_;
    }
    if (handler) {
        handler();
    }
}

void ExecutionProtectionController::setError(UserID uid, std::string_view message) {
    const std::lock_guard lock(lock_);
    errors_.insert_or_assign(uid, std::string(message));
}

bool ExecutionProtectionController::isLoaded(UserID uid) const {
    const std::lock_guard lock(lock_);
    return users_.contains(uid);
}

User ExecutionProtectionController::load(UserID uid) const {
    {
        const std::lock_guard lock(lock_);
        if (const auto found = users_.find(uid); found != users_.end()) {
            return found->second;
        }
    }
    return storage_.load(uid);
}

// ---------------------------------------------------------------------------------------------
// Held executions

bool ExecutionProtectionController::prepare(
    UserID uid, const ExecutionCandidate& candidate, const UUID& id, Date deadline,
    std::optional<std::vector<ExecutionExplanation::Reason>> reasons, IsPending isPending,
    Respond respond) {
    const Date now = clock_.now();
    std::optional<std::pair<bool, std::string_view>> answer;
    {
        const std::lock_guard lock(lock_);
        if (!isPending()) {
            return false;
        }
        const auto user = users_.find(uid);
        const auto heldForUser =
            std::count_if(pending_.begin(), pending_.end(),
                          [uid](const auto& entry) { return entry.second.uid == uid; });
        if (user == users_.end() || !user->second.configuration.enabled) {
            answer.emplace(true, Messages::protectDisabled);
        } else if (identityJobs_ >= maximumIdentityJobs || pending_.size() >= maximumPending ||
                   static_cast<std::size_t>(heldForUser) >= maximumPendingPerUser) {
            answer.emplace(false, Messages::queueFull);
        } else {
            ++identityJobs_;
            ExecutionExplanation explanation{
                .reasons = reasons ? std::move(*reasons)
                                   : ExecutionProtectionPolicy::reasons(
                                         candidate, user->second.configuration, now),
                .signature = ExecutionExplanation::Signature::checking,
                .trust = ExecutionExplanation::Trust::checking,
                .recordedAt = now,
                .fileCreatedAt = std::nullopt,
                .initiatingExecutable = candidate.initiatingExecutable,
                .trustScope = std::nullopt,
                .signingID = std::nullopt,
                .teamID = std::nullopt,
            };
            ExecutionRequest request{
                id,       candidate.path, candidate.signingID,   candidate.teamID,
                deadline, false,          std::move(explanation)};
            pending_.insert_or_assign(
                id, Pending{uid, std::move(request), std::nullopt, std::move(isPending), respond});
        }
    }
    if (answer) {
        respond(answer->first, answer->second);
        return false;
    }
    work_->async([this, id, candidate, uid] { identify(id, candidate, uid); });
    return true;
}

void ExecutionProtectionController::identify(const UUID& id, const ExecutionCandidate& candidate,
                                             UserID uid) {
    Respond respond;
    {
        const std::lock_guard lock(lock_);
        const auto entry = pending_.find(id);
        if (entry == pending_.end()) {
            --identityJobs_;
            return;
        }
        respond = entry->second.respond;
    }
    const Verification verification = identification_.identity(candidate);
    std::vector<Rule> rules;
    {
        const std::lock_guard lock(lock_);
        if (const auto user = users_.find(uid); user != users_.end()) {
            rules = user->second.rules;
        }
    }
    const bool matched = identification_.matches(verification, rules, candidate);
    {
        const std::lock_guard lock(lock_);
        // An entry that ended meanwhile is not recreated.
        const auto entry = pending_.find(id);
        if (entry != pending_.end() && entry->second.request.explanation) {
            ExecutionRequest& request = entry->second.request;
            request.explanation =
                explained(std::move(*request.explanation), verification, matched, candidate);
            request.canAlwaysTrust = verification.rule.has_value();
            entry->second.rule = verification.rule;
        }
    }
    if (matched) {
        respond(true, Messages::allowedByTrustRule);
    }
    const std::lock_guard lock(lock_);
    --identityJobs_;
}

void ExecutionProtectionController::completed(UserID uid, const UUID& id, const std::string& path,
                                              bool allowed, std::string_view reason,
                                              ExecutionOutcomeResult result) {
    std::optional<ExecutionExplanation> explanation;
    {
        const std::lock_guard lock(lock_);
        if (const auto entry = pending_.find(id); entry != pending_.end()) {
            explanation = std::move(entry->second.request.explanation);
            pending_.erase(entry);
        }
        if (journalJobs_ >= maximumJournalJobs) {
            errors_.insert_or_assign(uid, std::string(Messages::historyOverflow));
            return;
        }
        ++journalJobs_;
    }
    ExecutionOutcome outcome{
        id, path, Date{}, std::string(reason), allowed, result, std::move(explanation)};
    work_->async(
        [this, uid, outcome = std::move(outcome)]() mutable { record(uid, std::move(outcome)); });
}

void ExecutionProtectionController::record(UserID uid, ExecutionOutcome outcome) {
    try {
        User user = load(uid);
        if (user.outcomes.size() >= maximumOutcomes) {
            throw ProtectionError(ProtectionError::Kind::capacity);
        }
        outcome.date = clock_.now();
        user.outcomes.push_back(std::move(outcome));
        storage_.save(user, uid);
        const std::lock_guard lock(lock_);
        if (const auto found = users_.find(uid); found != users_.end()) {
            found->second.outcomes = std::move(user.outcomes);
        }
    } catch (const std::exception&) {
        setError(uid, Messages::historyNotSaved);
    }
    const std::lock_guard lock(lock_);
    --journalJobs_;
}

void ExecutionProtectionController::resolveAll(UserID uid) {
    std::vector<Respond> held;
    {
        const std::lock_guard lock(lock_);
        for (const auto& [id, entry] : pending_) {
            if (entry.uid == uid) {
                held.push_back(entry.respond);
            }
        }
    }
    for (const Respond& respond : held) {
        respond(true, Messages::protectDisabled);
    }
}

// ---------------------------------------------------------------------------------------------
// Decisions

void ExecutionProtectionController::decide(UserID uid, const UUID& id, ExecutionDecision decision,
                                           BoolReply reply) {
    std::optional<Pending> entry;
    {
        const std::lock_guard lock(lock_);
        if (const auto found = pending_.find(id); found != pending_.end()) {
            entry = found->second;
        }
    }
    if (!entry || entry->uid != uid || !entry->isPending()) {
        reply(false);
        return;
    }
    switch (decision) {
        case ExecutionDecision::block:
            reply(entry->respond(false, Messages::blockedByUser));
            return;
        case ExecutionDecision::allowOnce:
            reply(entry->respond(true, Messages::allowedOnce));
            return;
        case ExecutionDecision::alwaysTrust:
            if (!entry->rule) {
                reply(false);
                return;
            }
            work_->async([this, uid, rule = std::move(*entry->rule),
                          respond = std::move(entry->respond),
                          reply = std::move(reply)] { saveTrustRule(uid, rule, respond, reply); });
            return;
    }
}

void ExecutionProtectionController::saveTrustRule(UserID uid, const Rule& rule,
                                                  const Respond& respond, const BoolReply& reply) {
    // A rule is saved only for an execution this decision actually allowed.
    if (!respond(true, Messages::savingTrustRule)) {
        reply(false);
        return;
    }
    try {
        User user = load(uid);
        if (user.rules.size() >= maximumRules) {
            throw ProtectionError(ProtectionError::Kind::capacity);
        }
        user.rules.push_back(rule);
        storage_.save(user, uid);
        {
            const std::lock_guard lock(lock_);
            if (const auto found = users_.find(uid); found != users_.end()) {
                found->second.rules = std::move(user.rules);
            }
        }
    } catch (const std::exception&) {
        setError(uid, Messages::trustRuleNotSaved);
        reply(false);
        return;
    }
    reply(true);
}

// ---------------------------------------------------------------------------------------------
// Snapshot and history

void ExecutionProtectionController::state(UserID uid, DataReply reply) {
    work_->async([this, uid, reply = std::move(reply)] { snapshot(uid, reply); });
}

void ExecutionProtectionController::snapshot(UserID uid, const DataReply& reply) {
    if (!isLoaded(uid)) {
        try {
            User user = storage_.load(uid);
            user.configuration.enabled = false;
            const std::lock_guard lock(lock_);
            users_.try_emplace(uid, std::move(user));
        } catch (const std::exception&) {
            setError(uid, Messages::storageUnavailable);
        }
    }
    ExecutionProtectionState state{{}, false, false, std::nullopt, {}, {}, 0};
    {
        const std::lock_guard lock(lock_);
        state.available = available_;
        const auto user = users_.find(uid);
        if (user != users_.end()) {
            const User& record = user->second;
            state.executableRoots = record.configuration.executableRoots;
            state.enabled = record.configuration.enabled;
            const std::size_t shown = std::min(record.outcomes.size(), snapshotOutcomes);
            state.outcomes.assign(record.outcomes.rbegin(),
                                  record.outcomes.rbegin() + static_cast<std::ptrdiff_t>(shown));
            state.trustedRuleCount = static_cast<std::int64_t>(record.rules.size());
        }
        if (const auto error = errors_.find(uid); error != errors_.end()) {
            state.error = error->second;
        } else if (user != users_.end() && user->second.outcomes.size() >= outcomesNearlyFull) {
            state.error = std::string(Messages::historyNearlyFull);
        }
        for (const auto& [id, entry] : pending_) {
            if (entry.uid == uid && entry.isPending()) {
                state.pending.push_back(entry.request);
            }
        }
    }
    std::stable_sort(state.pending.begin(), state.pending.end(), [](const auto& a, const auto& b) {
        return a.deadline.timeIntervalSinceReferenceDate <
               b.deadline.timeIntervalSinceReferenceDate;
    });
    std::string data;
    try {
        data = encodeJSONText(state);
    } catch (const std::exception&) {
        data.clear();
    }
    reply(std::move(data));
}

void ExecutionProtectionController::exportHistory(UserID uid, DataReply reply) {
    work_->async([this, uid, reply = std::move(reply)] {
        std::string data;
        try {
            data = encodeJSONText(load(uid).outcomes);
        } catch (const std::exception&) {
            data.clear();
        }
        reply(std::move(data));
    });
}

void ExecutionProtectionController::clearHistory(UserID uid, BoolReply reply) {
    clear(uid, &User::outcomes, true, std::move(reply));
}

void ExecutionProtectionController::clearTrust(UserID uid, BoolReply reply) {
    clear(uid, &User::rules, false, std::move(reply));
}

template <class List>
void ExecutionProtectionController::clear(UserID uid, List User::*list, bool clearsError,
                                          BoolReply reply) {
    work_->async([this, uid, list, clearsError, reply = std::move(reply)] {
        try {
            User user = load(uid);
            (user.*list).clear();
            storage_.save(user, uid);
        } catch (const std::exception&) {
            reply(false);
            return;
        }
        {
            const std::lock_guard lock(lock_);
            if (const auto found = users_.find(uid); found != users_.end()) {
                (found->second.*list).clear();
            }
            if (clearsError) {
                errors_.erase(uid);
            }
        }
        reply(true);
    });
}

// ---------------------------------------------------------------------------------------------
// Configuration and aliases

void ExecutionProtectionController::configure(UserID uid, std::string_view home,
                                              std::string_view data, BoolReply reply) {
    auto accepted = ExecutionProtectionConfigurationAcceptance::accept(data, home, clock_.now());
    auto* configuration = std::get_if<ExecutionProtectionConfiguration>(&accepted);
    if (configuration == nullptr) {
        reply(false);
        return;
    }
    work_->async(
        [this, uid, configuration = std::move(*configuration), reply = std::move(reply)]() mutable {
            applyConfiguration(uid, std::move(configuration), reply);
        });
}

void ExecutionProtectionController::applyConfiguration(
    UserID uid, ExecutionProtectionConfiguration configuration, const BoolReply& reply) {
    User user;
    try {
        user = load(uid);
    } catch (const std::exception&) {
        setError(uid, Messages::storageUnavailable);
        reply(false);
        return;
    }
    if (configuration.enabled) {
        const std::lock_guard lock(lock_);
        const auto found = users_.find(uid);
        if (found != users_.end() && found->second.configuration.enabled) {
            reply(true);
            return;
        }
    }
    user.configuration = withResolvedAliases(std::move(configuration));
    try {
        storage_.save(user, uid);
    } catch (const std::exception&) {
        setError(uid, Messages::storageUnavailable);
        reply(false);
        return;
    }
    const bool enabled = user.configuration.enabled;
    bool apply = false;
    bool othersProtect = false;
    bool wasProtected = false;
    CheckingSwitch checkingSwitch;
    {
        const std::lock_guard lock(lock_);
        apply = available_ || !enabled;
        const auto found = users_.find(uid);
        wasProtected = found != users_.end() && found->second.configuration.enabled;
        othersProtect = std::any_of(users_.begin(), users_.end(), [uid](const auto& entry) {
            return entry.first != uid && entry.second.configuration.enabled;
        });
        checkingSwitch = checkingSwitch_;
    }
    // Execs are checked only while someone is protected: the first to turn protection on has
    // checking turned on before it applies, the last to turn it off has it turned off after.
    if (apply && enabled && !othersProtect && checkingSwitch && !checkingSwitch(true)) {
        apply = false;
    }
    if (apply) {
        {
            const std::lock_guard lock(lock_);
            users_.insert_or_assign(uid, std::move(user));
            errors_.erase(uid);
        }
        announcePolicyChange();
    }
    if (!enabled) {
        resolveAll(uid);
        if (wasProtected && !othersProtect && checkingSwitch) {
            checkingSwitch(false);
        }
    }
    reply(apply);
}

void ExecutionProtectionController::updateReferences(UserID uid,
                                                     std::map<std::string, Date> references) {
    if (!ExecutionProtectionConfigurationAcceptance::acceptsReferences(references, clock_.now())) {
        return;
    }
    work_->async(
        [this, uid, references = std::move(references)] { storeReferences(uid, references); });
}

void ExecutionProtectionController::storeReferences(UserID uid,
                                                    const std::map<std::string, Date>& references) {
    User user;
    {
        const std::lock_guard lock(lock_);
        const auto found = users_.find(uid);
        if (found == users_.end() || !found->second.configuration.enabled) {
            return;
        }
        user = found->second;
    }
    user.configuration.references = references;
    try {
        storage_.save(user, uid);
    } catch (const std::exception&) {
        setError(uid, Messages::referencesNotUpdated);
        return;
    }
    {
        const std::lock_guard lock(lock_);
        if (const auto found = users_.find(uid); found != users_.end()) {
            found->second.configuration.references = references;
        }
    }
    announcePolicyChange();
}

void ExecutionProtectionController::observedChange(const std::string& path) {
    {
        const std::lock_guard lock(lock_);
        const bool watched = std::any_of(users_.begin(), users_.end(), [&](const auto& user) {
            const ExecutionProtectionConfiguration& configuration = user.second.configuration;
            return configuration.enabled &&
                   ExecutionProtectionPolicy::isUnderRoot(path, configuration.executableRoots);
        });
        if (!watched) {
            return;
        }
        if (aliasPaths_.size() >= maximumAliasPaths && !aliasPaths_.contains(path)) {
            for (const auto& [uid, user] : users_) {
                errors_.insert_or_assign(uid, std::string(Messages::aliasObservationOverflow));
            }
            return;
        }
        aliasPaths_.insert(path);
        if (std::exchange(aliasRefreshScheduled_, true)) {
            return;
        }
    }
    work_->async([this] { refreshAliases(); });
}

void ExecutionProtectionController::refreshAliases() {
    std::set<std::string> paths;
    {
        const std::lock_guard lock(lock_);
        paths.swap(aliasPaths_);
        aliasRefreshScheduled_ = false;
    }
    bool changed = false;
    for (const std::string& path : paths) {
        const std::string resolved = resolvingSymbolicLinks(path);
        const std::lock_guard lock(lock_);
        for (auto& [uid, user] : users_) {
            ExecutionProtectionConfiguration& configuration = user.configuration;
            if (!configuration.enabled ||
                !ExecutionProtectionPolicy::isUnderRoot(path, configuration.executableRoots)) {
                continue;
            }
            auto& aliases = configuration.executableAliases;
            const auto known = aliases.find(path);
            if (resolved == path) {
                changed |= aliases.erase(path) > 0;
            } else if (known != aliases.end() ? known->second != resolved
                                              : aliases.size() < maximumAliases) {
                // A full map still follows a known link to its new target; it only takes no
                // new links.
                aliases.insert_or_assign(path, resolved);
                changed = true;
            }
        }
    }
    if (changed) {
        announcePolicyChange();
    }
}

}  // namespace quorin::daemon
