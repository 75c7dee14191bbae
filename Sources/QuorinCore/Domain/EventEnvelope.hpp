#pragma once

#include "QuorinCore/Domain/FileMetadata.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {

/// What happened in an observed event.
enum class EventOperation {
    processExec,       // a process image was executed
    processExit,       // a process exited
    fileCreated,       // a file was created
    fileModified,      // a file's content was written
    fileRenamed,       // a file was renamed or moved
    fileDeleted,       // a file was unlinked
    modeChanged,       // a file's mode bits changed
    ownerChanged,      // a file's owner or group changed
    executionAllowed,  // execution protection let an execution proceed
    executionDenied,   // execution protection blocked an execution
};

template <>
struct EnumerationTexts<EventOperation> {
    static constexpr std::string_view typeName = "EventOperation";
    static constexpr std::array cases{
        std::pair{EventOperation::processExec, std::string_view("processExec")},
        std::pair{EventOperation::processExit, std::string_view("processExit")},
        std::pair{EventOperation::fileCreated, std::string_view("fileCreated")},
        std::pair{EventOperation::fileModified, std::string_view("fileModified")},
        std::pair{EventOperation::fileRenamed, std::string_view("fileRenamed")},
        std::pair{EventOperation::fileDeleted, std::string_view("fileDeleted")},
        std::pair{EventOperation::modeChanged, std::string_view("modeChanged")},
        std::pair{EventOperation::ownerChanged, std::string_view("ownerChanged")},
        std::pair{EventOperation::executionAllowed, std::string_view("executionAllowed")},
        std::pair{EventOperation::executionDenied, std::string_view("executionDenied")},
    };
};

/// How firmly an event is tied to the process it names.
enum class AttributionConfidence {
    complete,    // the process is known to have caused the event
    incomplete,  // no process could be attributed
    correlated,  // a process is named by correlation, not proof
};

template <>
struct EnumerationTexts<AttributionConfidence> {
    static constexpr std::string_view typeName = "AttributionConfidence";
    static constexpr std::array cases{
        std::pair{AttributionConfidence::complete, std::string_view("complete")},
        std::pair{AttributionConfidence::incomplete, std::string_view("incomplete")},
        std::pair{AttributionConfidence::correlated, std::string_view("correlated")},
    };
};

/// How an event came to be known.
enum class ObservationContext {
    ordinary,           // seen live
    gapReconciliation,  // reconstructed while reconciling after a gap in the event stream
};

template <>
struct EnumerationTexts<ObservationContext> {
    static constexpr std::string_view typeName = "ObservationContext";
    static constexpr std::array cases{
        std::pair{ObservationContext::ordinary, std::string_view("ordinary")},
        std::pair{ObservationContext::gapReconciliation, std::string_view("gapReconciliation")},
    };
};

/// One observed event as the analysis sees it: what happened and when, the process it is
/// attributed to and how firmly, the file object after and before the event, the new path of a
/// rename, and the executables the file's content refers to (with those this event added).
///
/// Invariants: no referenced executable is listed twice; the added ones are listed once each and
/// are all referenced; without a process the attribution is `incomplete`. The constructor repairs
/// a violation (it drops repetitions and unreferenced additions and lowers the attribution); the
/// JSON decoder rejects one instead.
class EventEnvelope {
  public:
    EventEnvelope(EventID id, std::optional<std::uint64_t> sequence, Date observedAt,
                  EventOperation operation, std::optional<ProcessID> processID,
                  std::optional<FileMetadata> file, std::optional<FileMetadata> previousFile,
                  std::optional<NormalizedPath> destinationPath,
                  std::vector<NormalizedPath> referencedExecutables,
                  std::vector<NormalizedPath> addedReferencedExecutables,
                  AttributionConfidence attribution,
                  ObservationContext observationContext = ObservationContext::ordinary);

    const EventID& id() const { return id_; }
    /// The producer's sequence number for the event, when it has one.
    const std::optional<std::uint64_t>& sequence() const { return sequence_; }
    Date observedAt() const { return observedAt_; }
    EventOperation operation() const { return operation_; }
    const std::optional<ProcessID>& processID() const { return processID_; }
    /// The file object after the event.
    const std::optional<FileMetadata>& file() const { return file_; }
    /// The file object before the event.
    const std::optional<FileMetadata>& previousFile() const { return previousFile_; }
    /// The new path of a rename.
    const std::optional<NormalizedPath>& destinationPath() const { return destinationPath_; }
    const std::vector<NormalizedPath>& referencedExecutables() const {
        return referencedExecutables_;
    }
    const std::vector<NormalizedPath>& addedReferencedExecutables() const {
        return addedReferencedExecutables_;
    }
    AttributionConfidence attribution() const { return attribution_; }
    ObservationContext observationContext() const { return observationContext_; }

    /// A copy with the process and confidence replaced; the invariants are applied again, so
    /// without a process the copy's attribution is `incomplete`.
    EventEnvelope attributed(std::optional<ProcessID> by, AttributionConfidence confidence) const;

    friend bool operator==(const EventEnvelope&, const EventEnvelope&) = default;

    Json toJSON() const;
    /// Encodes the fields, in order, into a `JSONObjectEncoder` or a `JSONTextObjectEncoder`.
    template <class Encoder>
    void encodeMembers(Encoder& encoder) const;
    static EventEnvelope fromJSON(const JSONValueDecoder& decoder);

  private:
    EventID id_;
    std::optional<std::uint64_t> sequence_;
    Date observedAt_;
    EventOperation operation_;
    std::optional<ProcessID> processID_;
    std::optional<FileMetadata> file_;
    std::optional<FileMetadata> previousFile_;
    std::optional<NormalizedPath> destinationPath_;
    std::vector<NormalizedPath> referencedExecutables_;
    std::vector<NormalizedPath> addedReferencedExecutables_;
    AttributionConfidence attribution_;
    ObservationContext observationContext_;
};

}  // namespace quorin
