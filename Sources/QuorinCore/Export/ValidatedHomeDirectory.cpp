#include "QuorinCore/Export/ValidatedHomeDirectory.hpp"

#include "QuorinCore/Domain/NormalizedPath.hpp"

namespace quorin {

ValidatedHomeDirectory ValidatedHomeDirectory::validating(std::string_view homeDirectory) {
    using Kind = AIExportOptionsError::Kind;
    if (homeDirectory.empty()) {
        throw AIExportOptionsError(Kind::emptyHomeDirectory);
    }
    if (homeDirectory.front() != '/') {
        throw AIExportOptionsError(Kind::relativeHomeDirectory);
    }
    std::string normalized;
    try {
        normalized = NormalizedPath(homeDirectory, homeDirectory).value();
    } catch (const PathNormalizationError&) {
        throw AIExportOptionsError(Kind::relativeHomeDirectory);
    }
    if (normalized == "/") {
        throw AIExportOptionsError(Kind::rootHomeDirectory);
    }
    return ValidatedHomeDirectory(std::move(normalized));
}

}  // namespace quorin
