#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

namespace quorin {

namespace {

using Error = ReplayFixtureValidationError;

std::string text(std::int64_t number) {
    return std::to_string(number);
}

std::string text(const UUID& id) {
    return id.uuidString();
}

std::string text(std::string_view value) {
    return std::string(value);
}

// The "(actual; maximum N)" tail shared by the count limits.
std::string countOverLimit(std::int64_t actual, std::int64_t maximum) {
    return " (" + text(actual) + "; maximum " + text(maximum) + ")";
}

}  // namespace

Error Error::unsupportedSchemaVersion(std::int64_t version) {
    return Error(Kind::unsupportedSchemaVersion,
                 "Unsupported replay schema version: " + text(version));
}

Error Error::duplicateJSONKey(std::string_view path, std::string_view key) {
    return Error(Kind::duplicateJSONKey, "Duplicate replay key " + text(path) + "." + text(key));
}

Error Error::malformedJSON(std::int64_t offset) {
    return Error(Kind::malformedJSON, "Malformed replay JSON at byte " + text(offset));
}

Error Error::jsonNestingTooDeep(std::int64_t maximum) {
    return Error(Kind::jsonNestingTooDeep,
                 "Replay JSON nesting exceeds " + text(maximum) + " levels");
}

Error Error::tooManyJSONObjectMembers(std::int64_t maximum) {
    return Error(Kind::tooManyJSONObjectMembers,
                 "Replay JSON exceeds " + text(maximum) + " object members");
}

Error Error::tooManyJSONValues(std::int64_t maximum) {
    return Error(Kind::tooManyJSONValues, "Replay JSON exceeds " + text(maximum) + " values");
}

Error Error::dataTooLarge(std::int64_t actual, std::int64_t maximum) {
    return Error(Kind::dataTooLarge, "Replay fixture is too large (" + text(actual) +
                                         " bytes; maximum " + text(maximum) + ")");
}

Error Error::tooManyProtectedPaths(std::int64_t actual, std::int64_t maximum) {
    return Error(Kind::tooManyProtectedPaths,
                 "Too many protected paths" + countOverLimit(actual, maximum));
}

Error Error::tooManyProcesses(std::int64_t actual, std::int64_t maximum) {
    return Error(Kind::tooManyProcesses, "Too many processes" + countOverLimit(actual, maximum));
}

Error Error::tooManyEvents(std::int64_t actual, std::int64_t maximum) {
    return Error(Kind::tooManyEvents, "Too many events" + countOverLimit(actual, maximum));
}

Error Error::tooManyReferences(const UUID& eventID, std::int64_t actual, std::int64_t maximum) {
    return Error(Kind::tooManyReferences, "Too many references for event " + text(eventID) +
                                              countOverLimit(actual, maximum));
}

Error Error::stringTooLong(std::string_view field, std::int64_t actual, std::int64_t maximum) {
    return Error(Kind::stringTooLong, "String " + text(field) + " is too long (" + text(actual) +
                                          " bytes; maximum " + text(maximum) + ")");
}

Error Error::duplicateProcessID(const UUID& id) {
    return Error(Kind::duplicateProcessID, "Duplicate process ID: " + text(id));
}

Error Error::duplicateEventID(const UUID& id) {
    return Error(Kind::duplicateEventID, "Duplicate event ID: " + text(id));
}

Error Error::duplicateEventSequence(std::uint64_t sequence) {
    return Error(Kind::duplicateEventSequence,
                 "Duplicate event sequence: " + std::to_string(sequence));
}

Error Error::duplicateProtectedPathID(const UUID& id) {
    return Error(Kind::duplicateProtectedPathID, "Duplicate protected path ID: " + text(id));
}

Error Error::duplicateNormalizedProtectedPath(std::string_view path) {
    return Error(Kind::duplicateNormalizedProtectedPath,
                 "Duplicate normalized protected path: " + text(path));
}

Error Error::unknownParentID(const UUID& processID, const UUID& parentID) {
    return Error(Kind::unknownParentID,
                 "Process " + text(processID) + " references unknown parent " + text(parentID));
}

Error Error::unknownResponsibleID(const UUID& processID, const UUID& responsibleID) {
    return Error(Kind::unknownResponsibleID, "Process " + text(processID) +
                                                 " references unknown responsible process " +
                                                 text(responsibleID));
}

Error Error::processReferenceCycle(const std::vector<UUID>& ids) {
    std::string list;
    for (const UUID& id : ids) {
        list += (list.empty() ? "" : ", ") + text(id);
    }
    return Error(Kind::processReferenceCycle, "Process reference cycle: " + list);
}

Error Error::eventTimestampOutOfOrder(const UUID& previousEventID, const UUID& eventID) {
    return Error(Kind::eventTimestampOutOfOrder,
                 "Event " + text(eventID) + " precedes event " + text(previousEventID));
}

Error Error::eventSequenceNotIncreasing(std::uint64_t previous, std::uint64_t actual) {
    return Error(Kind::eventSequenceNotIncreasing, "Event sequence " + std::to_string(actual) +
                                                       " does not follow increasing sequence " +
                                                       std::to_string(previous));
}

Error Error::nonFiniteProcessTimestamp(const UUID& id) {
    return Error(Kind::nonFiniteProcessTimestamp,
                 "Process " + text(id) + " has a non-finite timestamp");
}

Error Error::nonFiniteEventTimestamp(const UUID& id) {
    return Error(Kind::nonFiniteEventTimestamp,
                 "Event " + text(id) + " has a non-finite timestamp");
}

Error Error::completeAttributionMissingProcess(const UUID& id) {
    return Error(Kind::completeAttributionMissingProcess,
                 "Complete event " + text(id) + " has no process");
}

Error Error::unknownEventProcessID(const UUID& eventID, const UUID& processID) {
    return Error(Kind::unknownEventProcessID,
                 "Event " + text(eventID) + " references unknown process " + text(processID));
}

Error Error::processObservedAfterEvent(const UUID& processID, const UUID& eventID) {
    return Error(Kind::processObservedAfterEvent,
                 "Process " + text(processID) + " was observed after event " + text(eventID));
}

Error Error::duplicateReferencedExecutable(const UUID& eventID, std::string_view path) {
    return Error(Kind::duplicateReferencedExecutable,
                 "Event " + text(eventID) + " repeats referenced executable " + text(path));
}

Error Error::duplicateAddedReferencedExecutable(const UUID& eventID, std::string_view path) {
    return Error(Kind::duplicateAddedReferencedExecutable,
                 "Event " + text(eventID) + " repeats added executable reference " + text(path));
}

Error Error::addedReferenceNotReferenced(const UUID& eventID, std::string_view path) {
    return Error(Kind::addedReferenceNotReferenced,
                 "Event " + text(eventID) + " adds unreferenced executable " + text(path));
}

Error Error::renameMissingDestination(const UUID& id) {
    return Error(Kind::renameMissingDestination,
                 "Rename event " + text(id) + " has no destination");
}

Error Error::destinationNotAllowedForOperation(const UUID& id) {
    return Error(Kind::destinationNotAllowedForOperation,
                 "Non-rename event " + text(id) + " has a destination");
}

Error Error::invalidHomeDirectory(std::string_view homeDirectory) {
    return Error(Kind::invalidHomeDirectory,
                 "Invalid replay home directory: " + text(homeDirectory));
}

Error Error::invalidPath(std::string_view field, std::string_view value) {
    return Error(Kind::invalidPath, "Invalid path " + text(value) + " in " + text(field));
}

Error Error::inconsistentFileID(const UUID& eventID, const UUID& currentID,
                                const UUID& previousID) {
    return Error(Kind::inconsistentFileID, "Event " + text(eventID) +
                                               " changes file identity from " + text(previousID) +
                                               " to " + text(currentID));
}

Error Error::unknownKey(std::string_view path, std::string_view key) {
    return Error(Kind::unknownKey, "Unknown replay key " + text(path) + "." + text(key));
}

Error Error::missingSchemaVersion() {
    return Error(Kind::missingSchemaVersion, "Replay fixture requires schemaVersion 2");
}

}  // namespace quorin
