#pragma once

#include "QuorinCore/Export/ValidatedHomeDirectory.hpp"

#include <string>
#include <string_view>

namespace quorin {

/// Scrubs text before it leaves the machine: the user's home directory becomes "~" (also inside
/// file URLs), then a fixed, ordered table of rules replaces private-key blocks, authorization
/// headers, secret-like assignments, secret URL parameters, prefixed tokens, access-key
/// identifiers and JSON Web Tokens by "[REDACTED]" markers. Each rule replaces every
/// non-overlapping match from left to right and sees the output of the rules before it. The
/// patterns are ICU regular expressions; the secret rules are compiled once for the process.
///
/// Stateless and deterministic. Text that is not UTF-8 is read with U+FFFD for each ill-formed
/// sequence. A rule that cannot be applied (the regular-expression engine runs out of memory)
/// throws `std::runtime_error` rather than letting the text through unredacted.
class SecretRedactor {
  public:
    SecretRedactor() = default;

    /// Validates `homeDirectory` (throws `AIExportOptionsError` even for an empty text), then
    /// applies the home-directory rules and the secret rules.
    std::string redact(std::string_view text, std::string_view homeDirectory) const;

    /// Both stages with an already validated home directory.
    std::string redact(std::string_view text, const ValidatedHomeDirectory& homeDirectory) const;

    /// The home-directory stage alone.
    std::string redactingHomeDirectory(std::string_view text,
                                       const ValidatedHomeDirectory& homeDirectory) const;

    /// The secret stage alone.
    std::string redactingSecrets(std::string_view text) const;
};

}  // namespace quorin
