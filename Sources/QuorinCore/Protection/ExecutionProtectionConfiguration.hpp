#pragma once

#include "QuorinCore/Protection/ExecutionFileVersion.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <map>
#include <string>
#include <vector>

namespace quorin {

/// A user's execution-protection settings, sent by the application and stored by the daemon:
/// whether protection is on, the watched directories, symbolic links under them with the files
/// they resolve to, the known version of each executable when protection was set up, and the
/// executables recently named by a persistence mechanism with the moment until which each counts
/// as recent. Maps are keyed by path. The default is off with everything empty.
struct ExecutionProtectionConfiguration {
    bool enabled = false;
    std::vector<std::string> executableRoots{};
    std::map<std::string, std::string> executableAliases{};
    std::map<std::string, ExecutionFileVersion> baseline{};
    std::map<std::string, Date> references{};

    friend bool operator==(const ExecutionProtectionConfiguration&,
                           const ExecutionProtectionConfiguration&) = default;

    Json toJSON() const;
    static ExecutionProtectionConfiguration fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
