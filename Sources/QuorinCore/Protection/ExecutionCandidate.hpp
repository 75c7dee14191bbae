#pragma once

#include "QuorinCore/Protection/ExecutionFileVersion.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"

#include <memory>
#include <optional>
#include <string>

namespace quorin {

/// One executable an execution would run, as the exec authorization message describes it: the
/// target, or the script of a script exec. Texts the message did not carry are "", and so is the
/// path of a file that has none in the file system (in memory only, deleted, or one whose path
/// could not be read). Not serialized.
struct ExecutionCandidate {
    std::string path;
    ExecutionFileVersion version;
    bool platformBinary;
    bool validSignature;
    bool adHoc;
    std::string signingID;
    std::string teamID;
    std::optional<std::string> initiatingExecutable;
    /// The file itself, open for reading, when the service handed it over: what the exec runs,
    /// whatever its path names by now. It is all that identifies the executable.
    std::shared_ptr<const UniqueFd> file;

    friend bool operator==(const ExecutionCandidate&, const ExecutionCandidate&) = default;
};

}  // namespace quorin
