#pragma once

#include "QuorinCore/Support/JSON.hpp"

#include <optional>
#include <string>

namespace quorin::daemon {

/// A stored trust rule: a pinned code requirement (any build of one publisher and signing
/// identifier) or the SHA-256 of one exact content, as lower-case hexadecimal. Rules the daemon
/// makes carry exactly one of the two; a stored rule is read back as written.
struct Rule {
    std::optional<std::string> requirement;
    std::optional<std::string> sha256;

    friend bool operator==(const Rule&, const Rule&) = default;

    Json toJSON() const;
    static Rule fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin::daemon
