#pragma once

#include "QuorinCore/Export/AIExportOptionsError.hpp"

#include <string>
#include <string_view>

namespace quorin {

/// A home directory fit for redaction: absolute, lexically normalized (no repeated or trailing
/// slashes, no "." or ".." components) and not the root directory, so replacing it by "~" never
/// swallows unrelated paths. Made only by `validating`.
class ValidatedHomeDirectory {
  public:
    /// Checks `homeDirectory` in this order: empty (`emptyHomeDirectory`), not beginning with "/"
    /// (`relativeHomeDirectory`; a leading "~" is not expanded), normalizing to "/"
    /// (`rootHomeDirectory`). Throws `AIExportOptionsError`.
    static ValidatedHomeDirectory validating(std::string_view homeDirectory);

    const std::string& value() const { return value_; }

    friend bool operator==(const ValidatedHomeDirectory&, const ValidatedHomeDirectory&) = default;

  private:
    explicit ValidatedHomeDirectory(std::string value) : value_(std::move(value)) {}

    std::string value_;
};

}  // namespace quorin
