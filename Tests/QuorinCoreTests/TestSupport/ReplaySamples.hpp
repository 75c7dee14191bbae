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
    return {numberedUUID(number),
            static_cast<std::int32_t>(number),
            "token-" + std::to_string(number),
            parent ? std::optional(numberedUUID(*parent)) : std::nullopt,
            std::nullopt,
            "/usr/bin/tool",
            CodeSigningStatus::unsigned_,
            false,
            Date{observedAt}};
}

/// A modification of the file at `path` (file object number + 1000), attributed completely to
/// `process` when one is given and incompletely otherwise.
inline ReplayEvent replayEvent(unsigned number, std::uint64_t sequence, double observedAt,
                               std::string path, std::optional<unsigned> process = std::nullopt,
                               EventOperation operation = EventOperation::fileModified) {
    return {numberedUUID(number),
            sequence,
            Date{observedAt},
            operation,
            process ? std::optional(numberedUUID(*process)) : std::nullopt,
            process ? AttributionConfidence::complete : AttributionConfidence::incomplete,
            numberedUUID(number + 1000),
            std::move(path),
            0,
            501,
            20,
            std::nullopt,
            false,
            0644,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            {},
            {}};
}

inline ReplayFixture replayFixture(std::vector<ReplayProtectedPath> protectedPaths,
                                   std::vector<ReplayProcess> processes,
                                   std::vector<ReplayEvent> events) {
    return ReplayFixture{2, std::move(protectedPaths), std::move(processes), std::move(events)};
}

}  // namespace quorin::testing
