#pragma once

#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/FileKind.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorin {

/// One process named in an attribution record: its pid and executable path exactly as the system
/// reported them (the path is not normalized), and its code-signing and team identifiers when the
/// system has them.
struct AttributionProcess {
    std::int32_t pid;
    std::string executablePath;
    std::optional<std::string> signingID;
    std::optional<std::string> teamID;

    friend bool operator==(const AttributionProcess&, const AttributionProcess&) = default;

    Json toJSON() const;
    static AttributionProcess fromJSON(const JSONValueDecoder& decoder);
};

/// What the daemon tells a client about one changed path: the path as the system reported it,
/// when it changed, the operation when known, the writing process, whether the writer is a
/// platform binary, the writer's ancestry (its parent first, then the parent's parent, and so
/// on), and the kind of the changed file when the system said it. Nothing is checked beyond the
/// field types.
struct AttributionRecord {
    std::string path;
    Date timestamp;
    std::optional<EventOperation> operation;
    AttributionProcess writer;
    bool isPlatformBinary;
    std::vector<AttributionProcess> ancestry;
    std::optional<FileKind> kind;

    /// Arguments in the order path, timestamp, writer, isPlatformBinary, ancestry, operation,
    /// kind: the operation comes after the ancestry although it is the third field and JSON key.
    /// (The parameters are named apart from the fields only so that they do not shadow them.)
    AttributionRecord(std::string changedPath, Date time, AttributionProcess writingProcess,
                      bool writerIsPlatformBinary, std::vector<AttributionProcess> writerAncestry,
                      std::optional<EventOperation> changeOperation,
                      std::optional<FileKind> fileKind = std::nullopt);

    friend bool operator==(const AttributionRecord&, const AttributionRecord&) = default;

    Json toJSON() const;
    static AttributionRecord fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
