#include "QuorinCore/Export/AIExportOptions.hpp"

namespace quorin {

AIExportOptions::AIExportOptions(std::string_view homeDirectory,
                                 std::vector<IncidentDiff> selectedDiffs)
    : validatedHomeDirectory_(ValidatedHomeDirectory::validating(homeDirectory)),
      selectedDiffs_(std::move(selectedDiffs)) {}

}  // namespace quorin
