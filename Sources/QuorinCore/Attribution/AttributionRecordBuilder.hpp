#pragma once

#include "QuorinCore/Domain/AttributionRecord.hpp"

#include <optional>
#include <string>
#include <vector>

namespace quorin {

/// Builds attribution records field by field from what the pipeline gathered; adds nothing of its
/// own.
struct AttributionRecordBuilder {
    AttributionRecordBuilder() = delete;

    static AttributionRecord record(std::string path, Date timestamp, AttributionProcess writer,
                                    bool isPlatformBinary, std::vector<AttributionProcess> ancestry,
                                    std::optional<EventOperation> operation,
                                    std::optional<FileKind> kind = std::nullopt);
};

}  // namespace quorin
