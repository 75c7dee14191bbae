#pragma once

#include "QuorinCore/Export/IncidentDiff.hpp"
#include "QuorinCore/Export/ValidatedHomeDirectory.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quorin {

class AIExportBuilder;

/// What the user chose to share in an analysis request: the home directory that is redacted to
/// "~" (validated and normalized, so a trailing slash is dropped) and the diffs to include, in
/// the order given.
class AIExportOptions {
  public:
    /// Throws `AIExportOptionsError` for an empty, relative or root home directory.
    AIExportOptions(std::string_view homeDirectory, std::vector<IncidentDiff> selectedDiffs);

    const std::string& homeDirectory() const { return validatedHomeDirectory_.value(); }
    const std::vector<IncidentDiff>& selectedDiffs() const { return selectedDiffs_; }

  private:
    friend class AIExportBuilder;

    ValidatedHomeDirectory validatedHomeDirectory_;
    std::vector<IncidentDiff> selectedDiffs_;
};

}  // namespace quorin
