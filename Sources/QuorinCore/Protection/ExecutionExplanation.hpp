#pragma once

#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <optional>
#include <string>
#include <vector>

namespace quorin {

/// Why an execution is held, what is known about the executable, and whether a trust rule
/// applies. Created when an execution is held (identity parts `checking`), completed once the
/// executable has been identified, and stored unchanged with the outcome.
struct ExecutionExplanation {
    enum class Reason {
        notInBaseline,               // under a watched root, not in the user's baseline
        changedSinceBaseline,        // in the baseline, with another file version
        recentPersistenceReference,  // a persistence mechanism recently named it
        noPathInFileSystem,          // a file without a path (in memory, deleted, unreadable)
    };

    enum class Signature {
        checking,           // not yet determined
        verifiedPublisher,  // valid signature of a team, pinned to team and signing identifier
        adHoc,              // valid ad hoc signature
        unsigned_,          // no signature ("unsigned")
        unverified,         // anything else: invalid, unreadable, changed since the exec, too large
    };

    enum class Trust {
        checking,             // not yet determined
        noMatchingRule,       // identity known, no stored rule trusts it
        identityUnavailable,  // no identity could be established
        matchedRule,          // a stored rule trusts it
    };

    enum class TrustScope {
        exactContent,     // a rule on the file's SHA-256: only this content
        signingIdentity,  // a pinned code requirement: any build of the same publisher and
                          // identifier
    };

    std::vector<Reason> reasons;
    Signature signature;
    Trust trust;
    Date recordedAt;
    std::optional<Date> fileCreatedAt;
    std::optional<std::string> initiatingExecutable;
    std::optional<TrustScope> trustScope;
    std::optional<std::string> signingID;
    std::optional<std::string> teamID;

    friend bool operator==(const ExecutionExplanation&, const ExecutionExplanation&) = default;

    Json toJSON() const;
    static ExecutionExplanation fromJSON(const JSONValueDecoder& decoder);
};

template <>
struct EnumerationTexts<ExecutionExplanation::Reason> {
    static constexpr std::string_view typeName = "ExecutionExplanation.Reason";
    static constexpr std::array cases{
        std::pair{ExecutionExplanation::Reason::notInBaseline, std::string_view("notInBaseline")},
        std::pair{ExecutionExplanation::Reason::changedSinceBaseline,
                  std::string_view("changedSinceBaseline")},
        std::pair{ExecutionExplanation::Reason::recentPersistenceReference,
                  std::string_view("recentPersistenceReference")},
        std::pair{ExecutionExplanation::Reason::noPathInFileSystem,
                  std::string_view("noPathInFileSystem")},
    };
};

template <>
struct EnumerationTexts<ExecutionExplanation::Signature> {
    static constexpr std::string_view typeName = "ExecutionExplanation.Signature";
    static constexpr std::array cases{
        std::pair{ExecutionExplanation::Signature::checking, std::string_view("checking")},
        std::pair{ExecutionExplanation::Signature::verifiedPublisher,
                  std::string_view("verifiedPublisher")},
        std::pair{ExecutionExplanation::Signature::adHoc, std::string_view("adHoc")},
        std::pair{ExecutionExplanation::Signature::unsigned_, std::string_view("unsigned")},
        std::pair{ExecutionExplanation::Signature::unverified, std::string_view("unverified")},
    };
};

template <>
struct EnumerationTexts<ExecutionExplanation::Trust> {
    static constexpr std::string_view typeName = "ExecutionExplanation.Trust";
    static constexpr std::array cases{
        std::pair{ExecutionExplanation::Trust::checking, std::string_view("checking")},
        std::pair{ExecutionExplanation::Trust::noMatchingRule, std::string_view("noMatchingRule")},
        std::pair{ExecutionExplanation::Trust::identityUnavailable,
                  std::string_view("identityUnavailable")},
        std::pair{ExecutionExplanation::Trust::matchedRule, std::string_view("matchedRule")},
    };
};

template <>
struct EnumerationTexts<ExecutionExplanation::TrustScope> {
    static constexpr std::string_view typeName = "ExecutionExplanation.TrustScope";
    static constexpr std::array cases{
        std::pair{ExecutionExplanation::TrustScope::exactContent, std::string_view("exactContent")},
        std::pair{ExecutionExplanation::TrustScope::signingIdentity,
                  std::string_view("signingIdentity")},
    };
};

}  // namespace quorin
