#pragma once

// Builders of replay fixtures in memory. Each builder gives a valid record with plain defaults,
// which a test adjusts field by field. Fixtures here use the home directory /Users/ana.

#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "TestSupport/Samples.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin::testing {

inline constexpr std::string_view replayHome = "/Users/ana";

inline ReplayProtectedPath replayProtectedPath(unsigned number, std::string path,
                                               PathCategory category = PathCategory::custom,
                                               bool recursive = true) {
    return {numberedUUID(number), std::move(path), category, recursive,
            ContentHistoryPolicy::metadataOnly};
}

/// An unsigned process observed at `observedAt` seconds, running /usr/bin/tool.
inline ReplayProcess replayProcess(unsigned number, std::optional<unsigned> parent = std::nullopt,
                                   double observedAt = 0) {
    return ReplayProcess{
        .id = numberedUUID(number),
        .pid = static_cast<std::int32_t>(number),
        .auditToken = "token-" + std::to_string(number),
        .parentID = parent ? std::optional(numberedUUID(*parent)) : std::nullopt,
        .responsibleID = std::nullopt,
        .executablePath = "/usr/bin/tool",
        .signingStatus = CodeSigningStatus::unsigned_,
        .recognizedPackageManager = false,
        .observedAt = Date{observedAt},
    };
}

/// A modification of the file at `path` (file object number + 1000), attributed completely to
/// `process` when one is given and incompletely otherwise.
inline ReplayEvent replayEvent(unsigned number, std::uint64_t sequence, double observedAt,
                               std::string path, std::optional<unsigned> process = std::nullopt,
                               EventOperation operation = EventOperation::fileModified) {
    return ReplayEvent{
        .id = numberedUUID(number),
        .sequence = sequence,
        .observedAt = Date{observedAt},
        .operation = operation,
        .processID = process ? std::optional(numberedUUID(*process)) : std::nullopt,
        .attribution =
            process ? AttributionConfidence::complete : AttributionConfidence::incomplete,
        .fileID = numberedUUID(number + 1000),
        .path = std::move(path),
        .size = 0,
        .ownerID = 501,
        .groupID = 20,
        .sha256 = std::nullopt,
        .isExecutable = false,
        .mode = 0644,
        .signingStatus = std::nullopt,
        .destinationPath = std::nullopt,
        .previousFile = std::nullopt,
        .referencedExecutables = {},
        .addedReferencedExecutables = {},
    };
}

inline ReplayFixture replayFixture(std::vector<ReplayProtectedPath> protectedPaths,
                                   std::vector<ReplayProcess> processes,
                                   std::vector<ReplayEvent> events) {
    return ReplayFixture{2, std::move(protectedPaths), std::move(processes), std::move(events)};
}

}  // namespace quorin::testing
