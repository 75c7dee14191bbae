#pragma once

#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace quorin {

/// Who a process is, for analysis: one observed process instance, its place in the process tree
/// and the identity of its executable image. `id` tells instances apart even when the system
/// reuses a pid; `auditToken` is opaque text chosen by the producer. No field is checked against
/// another.
struct ProcessIdentity {
    ProcessID id;
    std::int32_t pid;
    std::string auditToken;
    std::optional<ProcessID> parentID;
    std::optional<ProcessID> responsibleID;
    NormalizedPath executablePath;
    std::optional<std::string> executableSHA256;
    CodeSigningIdentity signing;
    Date observedAt;

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;

    Json toJSON() const;
    static ProcessIdentity fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
