#pragma once

#include "QuorinCore/Support/UUID.hpp"

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// Everything that makes a replay fixture unusable, from its bytes to its records. Each error
/// says exactly what and where in its message, which is also `what()`; two errors are equal when
/// they are the same case with the same payload. Built only through the factory of its case.
class ReplayFixtureValidationError : public std::exception {
  public:
    enum class Kind {
        unsupportedSchemaVersion,
        duplicateJSONKey,
        malformedJSON,
        jsonNestingTooDeep,
        tooManyJSONObjectMembers,
        tooManyJSONValues,
        dataTooLarge,
        tooManyProtectedPaths,
        tooManyProcesses,
        tooManyEvents,
        tooManyReferences,
        stringTooLong,
        duplicateProcessID,
        duplicateEventID,
        duplicateEventSequence,
        duplicateProtectedPathID,
        duplicateNormalizedProtectedPath,
        unknownParentID,
        unknownResponsibleID,
        processReferenceCycle,
        eventTimestampOutOfOrder,
        eventSequenceNotIncreasing,
        nonFiniteProcessTimestamp,
        nonFiniteEventTimestamp,
        completeAttributionMissingProcess,
        unknownEventProcessID,
        processObservedAfterEvent,
        duplicateReferencedExecutable,
        duplicateAddedReferencedExecutable,
        addedReferenceNotReferenced,
        renameMissingDestination,
        destinationNotAllowedForOperation,
        invalidHomeDirectory,
        invalidPath,
        inconsistentFileID,
        unknownKey,
        missingSchemaVersion,
    };

    static ReplayFixtureValidationError unsupportedSchemaVersion(std::int64_t version);
    static ReplayFixtureValidationError duplicateJSONKey(std::string_view path,
                                                         std::string_view key);
    static ReplayFixtureValidationError malformedJSON(std::int64_t offset);
    static ReplayFixtureValidationError jsonNestingTooDeep(std::int64_t maximum);
    static ReplayFixtureValidationError tooManyJSONObjectMembers(std::int64_t maximum);
    static ReplayFixtureValidationError tooManyJSONValues(std::int64_t maximum);
    static ReplayFixtureValidationError dataTooLarge(std::int64_t actual, std::int64_t maximum);
    static ReplayFixtureValidationError tooManyProtectedPaths(std::int64_t actual,
                                                              std::int64_t maximum);
    static ReplayFixtureValidationError tooManyProcesses(std::int64_t actual, std::int64_t maximum);
    static ReplayFixtureValidationError tooManyEvents(std::int64_t actual, std::int64_t maximum);
    static ReplayFixtureValidationError tooManyReferences(const UUID& eventID, std::int64_t actual,
                                                          std::int64_t maximum);
    static ReplayFixtureValidationError stringTooLong(std::string_view field, std::int64_t actual,
                                                      std::int64_t maximum);
    static ReplayFixtureValidationError duplicateProcessID(const UUID& id);
    static ReplayFixtureValidationError duplicateEventID(const UUID& id);
    static ReplayFixtureValidationError duplicateEventSequence(std::uint64_t sequence);
    static ReplayFixtureValidationError duplicateProtectedPathID(const UUID& id);
    static ReplayFixtureValidationError duplicateNormalizedProtectedPath(std::string_view path);
    static ReplayFixtureValidationError unknownParentID(const UUID& processID,
                                                        const UUID& parentID);
    static ReplayFixtureValidationError unknownResponsibleID(const UUID& processID,
                                                             const UUID& responsibleID);
    /// `ids` as found; the message lists them as given, so callers pass them sorted.
    static ReplayFixtureValidationError processReferenceCycle(const std::vector<UUID>& ids);
    static ReplayFixtureValidationError eventTimestampOutOfOrder(const UUID& previousEventID,
                                                                 const UUID& eventID);
    static ReplayFixtureValidationError eventSequenceNotIncreasing(std::uint64_t previous,
                                                                   std::uint64_t actual);
    static ReplayFixtureValidationError nonFiniteProcessTimestamp(const UUID& id);
    static ReplayFixtureValidationError nonFiniteEventTimestamp(const UUID& id);
    static ReplayFixtureValidationError completeAttributionMissingProcess(const UUID& id);
    static ReplayFixtureValidationError unknownEventProcessID(const UUID& eventID,
                                                              const UUID& processID);
    static ReplayFixtureValidationError processObservedAfterEvent(const UUID& processID,
                                                                  const UUID& eventID);
    static ReplayFixtureValidationError duplicateReferencedExecutable(const UUID& eventID,
                                                                      std::string_view path);
    static ReplayFixtureValidationError duplicateAddedReferencedExecutable(const UUID& eventID,
                                                                           std::string_view path);
    static ReplayFixtureValidationError addedReferenceNotReferenced(const UUID& eventID,
                                                                    std::string_view path);
    static ReplayFixtureValidationError renameMissingDestination(const UUID& id);
    static ReplayFixtureValidationError destinationNotAllowedForOperation(const UUID& id);
    static ReplayFixtureValidationError invalidHomeDirectory(std::string_view text);
    static ReplayFixtureValidationError invalidPath(std::string_view field, std::string_view value);
    static ReplayFixtureValidationError inconsistentFileID(const UUID& eventID,
                                                           const UUID& currentID,
                                                           const UUID& previousID);
    static ReplayFixtureValidationError unknownKey(std::string_view path, std::string_view key);
    static ReplayFixtureValidationError missingSchemaVersion();

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // The message is built from the whole payload, so equal messages mean equal payloads.
    friend bool operator==(const ReplayFixtureValidationError& lhs,
                           const ReplayFixtureValidationError& rhs) {
        return lhs.kind_ == rhs.kind_ && lhs.message_ == rhs.message_;
    }

  private:
    ReplayFixtureValidationError(Kind kind, std::string message)
        : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
};

}  // namespace quorin
