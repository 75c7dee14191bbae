#include "QuorinCore/Domain/EventEnvelope.hpp"

#include "QuorinCore/Support/JSONTextWriter.hpp"
#include "QuorinCore/Support/RepeatedKeys.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace quorin {

namespace {

NormalizedPath::LookupKey keyOf(const NormalizedPath& path) {
    return path.lookupKey();
}

// Keys viewing into a list of paths, which must outlive them, sorted. Fixtures may list many
// executables, so repetition and membership checks sort or search, never scan pairwise.
using PathKeys = std::vector<NormalizedPath::LookupKey>;

PathKeys keysOf(const std::vector<NormalizedPath>& paths) {
    return sortedKeys(paths, keyOf);
}

bool allIn(const std::vector<NormalizedPath>& paths, const PathKeys& allowed) {
    return std::all_of(paths.begin(), paths.end(), [&allowed](const NormalizedPath& path) {
        return containsKey(allowed, path.lookupKey());
    });
}

// True when every path is in `allowed` (when given) and none repeats an earlier one.
bool keepsEveryPath(const std::vector<NormalizedPath>& paths, const PathKeys* allowed) {
    return (allowed == nullptr || allIn(paths, *allowed)) && !firstRepeated(paths, keyOf);
}

// The first occurrence of each path, in order; when `allowed` is given, only the paths in it.
// A list that already is so, as nearly every list is, is kept as it is.
std::vector<NormalizedPath> firstOccurrences(std::vector<NormalizedPath> paths,
                                             const PathKeys* allowed) {
    if (keepsEveryPath(paths, allowed)) {
        return paths;
    }
    std::vector<NormalizedPath> result;
    result.reserve(paths.size());
    std::unordered_set<NormalizedPath> seen;
    seen.reserve(paths.size());
    for (const NormalizedPath& path : paths) {
        if (allowed != nullptr && !containsKey(*allowed, path.lookupKey())) {
            continue;
        }
        if (seen.insert(path).second) {
            result.push_back(path);
        }
    }
    return result;
}

}  // namespace

EventEnvelope::EventEnvelope(EventID id, std::optional<std::uint64_t> sequence, Date observedAt,
                             EventOperation operation, std::optional<ProcessID> processID,
                             std::optional<FileMetadata> file,
                             std::optional<FileMetadata> previousFile,
                             std::optional<NormalizedPath> destinationPath,
                             std::vector<NormalizedPath> referencedExecutables,
                             std::vector<NormalizedPath> addedReferencedExecutables,
                             AttributionConfidence attribution,
                             ObservationContext observationContext)
    : id_(id),
      sequence_(sequence),
      observedAt_(observedAt),
      operation_(operation),
      processID_(processID),
      file_(std::move(file)),
      previousFile_(std::move(previousFile)),
      destinationPath_(std::move(destinationPath)),
      referencedExecutables_(firstOccurrences(std::move(referencedExecutables), nullptr)),
      attribution_(processID ? attribution : AttributionConfidence::incomplete),
      observationContext_(observationContext) {
    const PathKeys referenced = keysOf(referencedExecutables_);
    addedReferencedExecutables_ =
        firstOccurrences(std::move(addedReferencedExecutables), &referenced);
}

EventEnvelope EventEnvelope::attributed(std::optional<ProcessID> by,
                                        AttributionConfidence confidence) const {
    return EventEnvelope(id_, sequence_, observedAt_, operation_, by, file_, previousFile_,
                         destinationPath_, referencedExecutables_, addedReferencedExecutables_,
                         confidence, observationContext_);
}

template <class Encoder>
void EventEnvelope::encodeMembers(Encoder& encoder) const {
    encoder.encode("id", id_);
    encoder.encodeIfPresent("sequence", sequence_);
    encoder.encode("observedAt", observedAt_);
    encoder.encode("operation", operation_);
    encoder.encodeIfPresent("processID", processID_);
    encoder.encodeIfPresent("file", file_);
    encoder.encodeIfPresent("previousFile", previousFile_);
    encoder.encodeIfPresent("destinationPath", destinationPath_);
    encoder.encode("referencedExecutables", referencedExecutables_);
    if (!addedReferencedExecutables_.empty()) {
        encoder.encode("addedReferencedExecutables", addedReferencedExecutables_);
    }
    encoder.encode("attribution", attribution_);
    if (observationContext_ != ObservationContext::ordinary) {
        encoder.encode("observationContext", observationContext_);
    }
}

template void EventEnvelope::encodeMembers(JSONObjectEncoder&) const;
template void EventEnvelope::encodeMembers(JSONTextObjectEncoder&) const;

Json EventEnvelope::toJSON() const {
    JSONObjectEncoder encoder(12);
    encodeMembers(encoder);
    return std::move(encoder).finish();
}

// Reads the attribution and the executable lists first and validates them before anything else,
// so a violated invariant is reported ahead of any later key's failure. Each read is its own
// statement because the order of reads decides which failure is reported.
EventEnvelope EventEnvelope::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    const auto processID = object.decodeIfPresent<ProcessID>("processID");
    const auto attribution = object.decode<AttributionConfidence>("attribution");
    auto referenced = object.decode<std::vector<NormalizedPath>>("referencedExecutables");
    auto added = object.decodeIfPresent<std::vector<NormalizedPath>>("addedReferencedExecutables")
                     .value_or(std::vector<NormalizedPath>{});

    if (!processID && attribution != AttributionConfidence::incomplete) {
        object.dataCorrupted("attribution", "Complete attribution requires an attributed process.");
    }
    if (!keepsEveryPath(referenced, nullptr)) {
        object.dataCorrupted("referencedExecutables",
                             "Referenced executables must not contain duplicates.");
    }
    if (!keepsEveryPath(added, nullptr)) {
        object.dataCorrupted("addedReferencedExecutables",
                             "Added referenced executables must not contain duplicates.");
    }
    if (!allIn(added, keysOf(referenced))) {
        object.dataCorrupted("addedReferencedExecutables",
                             "Added referenced executables must be referenced executables.");
    }

    const auto id = object.decode<EventID>("id");
    const auto sequence = object.decodeIfPresent<std::uint64_t>("sequence");
    const auto observedAt = object.decode<Date>("observedAt");
    const auto operation = object.decode<EventOperation>("operation");
    auto file = object.decodeIfPresent<FileMetadata>("file");
    auto previousFile = object.decodeIfPresent<FileMetadata>("previousFile");
    auto destinationPath = object.decodeIfPresent<NormalizedPath>("destinationPath");
    const auto observationContext = object.decodeIfPresent<ObservationContext>("observationContext")
                                        .value_or(ObservationContext::ordinary);

    return EventEnvelope(id, sequence, observedAt, operation, processID, std::move(file),
                         std::move(previousFile), std::move(destinationPath), std::move(referenced),
                         std::move(added), attribution, observationContext);
}

}  // namespace quorin
