#pragma once

#include "QuorinCore/Protection/ExecutionExplanation.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "QuorinCore/Support/UUID.hpp"

#include <optional>
#include <string>

namespace quorin {

/// A held execution as the user is asked about it: which file, its signing identity, the moment
/// after which it is blocked, whether an "always trust" answer can be stored as a rule (the
/// executable's identity could be established), and why it is held.
struct ExecutionRequest {
    UUID id;
    std::string path;
    std::string signingID;
    std::string teamID;
    Date deadline;
    bool canAlwaysTrust;
    std::optional<ExecutionExplanation> explanation;

    friend bool operator==(const ExecutionRequest&, const ExecutionRequest&) = default;

    Json toJSON() const;
    static ExecutionRequest fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
