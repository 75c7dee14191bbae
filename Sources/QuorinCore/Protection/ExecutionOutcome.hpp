#pragma once

#include "QuorinCore/Protection/ExecutionExplanation.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "QuorinCore/Support/UUID.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace quorin {

/// How a held execution ended.
enum class ExecutionOutcomeResult {
    allowed,
    blocked,
    unknown,  // the operating system did not confirm the answer; whether it ran is not known
};

template <>
struct EnumerationTexts<ExecutionOutcomeResult> {
    static constexpr std::string_view typeName = "ExecutionOutcomeResult";
    static constexpr std::array cases{
        std::pair{ExecutionOutcomeResult::allowed, std::string_view("allowed")},
        std::pair{ExecutionOutcomeResult::blocked, std::string_view("blocked")},
        std::pair{ExecutionOutcomeResult::unknown, std::string_view("unknown")},
    };
};

/// One entry of a user's execution history: the request it answers (`id`), the file, when it was
/// recorded, the reason message, whether it ran, and the explanation the request carried.
/// Entries written before `result` existed carry only `allowed` and `reason`; `resolvedResult`
/// reads both kinds.
struct ExecutionOutcome {
    /// The reason recorded when the operating system refused the answer.
    static constexpr std::string_view responseFailedReason =
        "AUTH_EXEC response failed; execution outcome unknown";

    UUID id;
    std::string path;
    Date date;
    std::string reason;
    bool allowed;
    std::optional<ExecutionOutcomeResult> result;
    std::optional<ExecutionExplanation> explanation;

    /// `result` when present; else `unknown` for a failed response; else from `allowed`.
    ExecutionOutcomeResult resolvedResult() const;

    friend bool operator==(const ExecutionOutcome&, const ExecutionOutcome&) = default;

    Json toJSON() const;
    static ExecutionOutcome fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
