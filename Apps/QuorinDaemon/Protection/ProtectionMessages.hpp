#pragma once

#include <string_view>

namespace quorin::daemon {

/// The texts execution protection shows the user: the reasons recorded with each outcome, and the
/// problem messages kept per user and shown in the state snapshot.
struct ProtectionMessages {
    ProtectionMessages() = delete;

    // Reasons.
    static constexpr std::string_view protectDisabled = "Protect disabled by user";
    static constexpr std::string_view queueFull = "Blocked: decision queue full";
    static constexpr std::string_view allowedByTrustRule = "Allowed by trust rule";
    static constexpr std::string_view blockedByUser = "Blocked by user";
    static constexpr std::string_view allowedOnce = "Allowed once";
    static constexpr std::string_view savingTrustRule = "Allowed; saving trust rule";
    static constexpr std::string_view blockedAfterTimeout = "Blocked after timeout";
    static constexpr std::string_view insufficientDecisionTime =
        "Blocked: insufficient decision time";
    static constexpr std::string_view allowedScriptAndInterpreter =
        "Allowed script and interpreter";
    static constexpr std::string_view changedWhileHeld = "Blocked: executable changed while held";

    // Problem messages.
    static constexpr std::string_view historyOverflow =
        "Execution history overflow; some outcomes could not be recorded";
    static constexpr std::string_view historyNotSaved = "Protection history could not be saved";
    static constexpr std::string_view trustRuleNotSaved =
        "Execution allowed once; trust rule was not saved";
    static constexpr std::string_view storageUnavailable = "Protection storage unavailable";
    static constexpr std::string_view referencesNotUpdated =
        "Protection references could not be updated";
    static constexpr std::string_view aliasObservationOverflow =
        "Executable alias observation overflow";
    static constexpr std::string_view historyNearlyFull =
        "Protection history nearly full; export and maintenance required";
};

}  // namespace quorin::daemon
