#pragma once

// A replay fixture: a recorded scenario of protected paths, processes and file events, written as
// one JSON document (schema version 2), so that the correlator and the scorer can be run over it
// offline. Its records are flatter than the core model: identifiers are bare UUID texts, paths are
// plain texts that may still begin with "~", and processes and files carry only a signing status.

#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"
#include "QuorinCore/Replay/MaterializedReplayFixture.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "QuorinCore/Support/UUID.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// One watched path of a fixture.
struct ReplayProtectedPath {
    UUID id;
    std::string path;  // absolute, or beginning with "~" or "~/"
    PathCategory category;
    bool recursive;
    ContentHistoryPolicy contentPolicy;

    friend bool operator==(const ReplayProtectedPath&, const ReplayProtectedPath&) = default;

    Json toJSON() const;
    static ReplayProtectedPath fromJSON(const JSONValueDecoder& decoder);
};

/// One observed process instance; `parentID` and `responsibleID` name other processes of the
/// same fixture.
struct ReplayProcess {
    UUID id;
    std::int32_t pid;
    std::string auditToken;
    std::optional<UUID> parentID;
    std::optional<UUID> responsibleID;
    std::string executablePath;
    CodeSigningStatus signingStatus;
    bool recognizedPackageManager = false;  // absent in JSON means false
    Date observedAt;

    friend bool operator==(const ReplayProcess&, const ReplayProcess&) = default;

    Json toJSON() const;
    static ReplayProcess fromJSON(const JSONValueDecoder& decoder);
};

/// A file object's earlier state (an event's "previousFile").
struct ReplayFileMetadata {
    UUID id;
    std::string path;
    std::uint64_t size;
    std::uint32_t ownerID;
    std::uint32_t groupID;
    std::uint16_t mode;
    std::optional<std::string> sha256;
    bool isExecutable;
    std::optional<CodeSigningStatus> signingStatus;

    friend bool operator==(const ReplayFileMetadata&, const ReplayFileMetadata&) = default;

    Json toJSON() const;
    static ReplayFileMetadata fromJSON(const JSONValueDecoder& decoder);
};

/// One observed event, with the current file object described inline.
struct ReplayEvent {
    UUID id;
    std::uint64_t sequence;
    Date observedAt;
    EventOperation operation;
    std::optional<UUID> processID;
    AttributionConfidence attribution;
    UUID fileID;
    std::string path;
    std::uint64_t size = 0;       // absent in JSON means 0
    std::uint32_t ownerID = 501;  // absent in JSON means 501
    std::uint32_t groupID = 20;   // absent in JSON means 20
    std::optional<std::string> sha256;
    bool isExecutable;
    std::uint16_t mode;
    std::optional<CodeSigningStatus> signingStatus;
    std::optional<std::string> destinationPath;
    std::optional<ReplayFileMetadata> previousFile;
    std::vector<std::string> referencedExecutables;
    std::vector<std::string> addedReferencedExecutables;  // absent in JSON means empty

    friend bool operator==(const ReplayEvent&, const ReplayEvent&) = default;

    Json toJSON() const;
    static ReplayEvent fromJSON(const JSONValueDecoder& decoder);
};

/// How a fixture writes its time stamps. The default is the system's own form.
enum class ReplayDateDecodingStrategy {
    secondsSinceReferenceDate,  // seconds since 2001-01-01T00:00:00Z
    secondsSince1970,           // seconds since 1970-01-01T00:00:00Z
};

/// The whole document. Lists keep document order: events are replayed in it and validation
/// reports the first offending record in it.
struct ReplayFixture {
    std::int64_t schemaVersion;
    std::vector<ReplayProtectedPath> protectedPaths;
    std::vector<ReplayProcess> processes;
    std::vector<ReplayEvent> events;

    friend bool operator==(const ReplayFixture&, const ReplayFixture&) = default;

    /// Writes the keys in field order; checks nothing.
    Json toJSON() const;

    /// Strict reading of a fixture file: a bounded read of a regular file that is not a symbolic
    /// link, then `decode`. Throws `ReplayFixtureFileError` or `ReplayFixtureValidationError`, or
    /// a `DecodingError` for a structural mismatch.
    static ReplayFixture load(
        const std::filesystem::path& file,
        ReplayDateDecodingStrategy dates = ReplayDateDecodingStrategy::secondsSinceReferenceDate);

    /// Strict decoding of fixture bytes: size limit, well-formedness, duplicate keys and budgets,
    /// unknown keys, then structural decoding and the schema version, in that order.
    static ReplayFixture decode(
        std::string_view bytes,
        ReplayDateDecodingStrategy dates = ReplayDateDecodingStrategy::secondsSinceReferenceDate);

    /// Validates the fixture against itself and the limits, then converts it into core values.
    /// Throws `ReplayFixtureValidationError`.
    MaterializedReplayFixture materialize(std::string_view homeDirectory) const;

    /// The checks of `materialize` alone: the non-fatal findings, or the first error.
    std::vector<ReplayDiagnostic> validate(std::string_view homeDirectory) const;

  private:
    // `decode`, reading up to `readableSlack` bytes past the end of `bytes`: only a reader that
    // made that slack (`ReplayFixtureFileLoader`) may say it is there.
    static ReplayFixture decode(std::string_view bytes, ReplayDateDecodingStrategy dates,
                                std::size_t readableSlack);
};

}  // namespace quorin
