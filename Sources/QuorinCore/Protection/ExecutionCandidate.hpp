#pragma once

#include "QuorinCore/Protection/ExecutionFileVersion.hpp"

#include <optional>
#include <string>

namespace quorin {

/// One executable an execution would run, as the exec authorization message describes it: the
/// target, or the script of a script exec. Texts the message did not carry are "". Not
/// serialized.
struct ExecutionCandidate {
    std::string path;
    ExecutionFileVersion version;
    bool platformBinary;
    bool validSignature;
    bool adHoc;
    std::string signingID;
    std::string teamID;
    std::optional<std::string> initiatingExecutable;

    friend bool operator==(const ExecutionCandidate&, const ExecutionCandidate&) = default;
};

}  // namespace quorin
