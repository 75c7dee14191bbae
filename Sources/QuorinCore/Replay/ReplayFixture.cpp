#include "QuorinCore/Replay/ReplayFixture.hpp"

#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"
#include "QuorinCore/Replay/ReplayFixtureDecoding.hpp"
#include "QuorinCore/Replay/ReplayFixtureFileLoader.hpp"
#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Replay/ReplayJSONSchema.hpp"
#include "QuorinCore/Support/SideBySide.hpp"

namespace quorin {

namespace {

constexpr std::int64_t supportedSchemaVersion = 2;

// The decoding shape of the document. It tests that "schemaVersion" is present before anything
// is decoded, so that a document of another format is told what it lacks rather than which of
// its values has the wrong type.
struct ReplayFixtureDecodingPayload {
    std::int64_t schemaVersion;
    std::vector<ReplayProtectedPath> protectedPaths;
    std::vector<ReplayProcess> processes;
    std::vector<ReplayEvent> events;

    static ReplayFixtureDecodingPayload fromJSON(const JSONValueDecoder& decoder) {
        const JSONObjectDecoder object = decoder.object();
        if (!decoder.json().contains("schemaVersion")) {
            throw ReplayFixtureValidationError::missingSchemaVersion();
        }
        return ReplayFixtureDecodingPayload{
            .schemaVersion = object.decode<std::int64_t>("schemaVersion"),
            .protectedPaths = object.decode<std::vector<ReplayProtectedPath>>("protectedPaths"),
            .processes = object.decode<std::vector<ReplayProcess>>("processes"),
            .events = object.decode<std::vector<ReplayEvent>>("events"),
        };
    }
};

// Time stamps are decoded as plain numbers of seconds since the reference date; a fixture that
// counts from 1970 is shifted afterwards.
Date convertedDate(Date decoded, ReplayDateDecodingStrategy dates) {
    switch (dates) {
        case ReplayDateDecodingStrategy::secondsSinceReferenceDate:
            return decoded;
        case ReplayDateDecodingStrategy::secondsSince1970:
            return Date::fromUnixTime(decoded.timeIntervalSinceReferenceDate);
    }
    return decoded;  // a value outside the enumeration
}

}  // namespace

// MARK: - Records

Json ReplayProtectedPath::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("path", path);
    encoder.encode("category", category);
    encoder.encode("recursive", recursive);
    encoder.encode("contentPolicy", contentPolicy);
    return std::move(encoder).finish();
}

ReplayProtectedPath ReplayProtectedPath::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ReplayProtectedPath{
        .id = object.decode<UUID>("id"),
        .path = object.decode<std::string>("path"),
        .category = object.decode<PathCategory>("category"),
        .recursive = object.decode<bool>("recursive"),
        .contentPolicy = object.decode<ContentHistoryPolicy>("contentPolicy"),
    };
}

Json ReplayProcess::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("pid", pid);
    encoder.encode("auditToken", auditToken);
    encoder.encodeIfPresent("parentID", parentID);
    encoder.encodeIfPresent("responsibleID", responsibleID);
    encoder.encode("executablePath", executablePath);
    encoder.encode("signingStatus", signingStatus);
    encoder.encode("recognizedPackageManager", recognizedPackageManager);
    encoder.encode("observedAt", observedAt);
    return std::move(encoder).finish();
}

ReplayProcess ReplayProcess::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ReplayProcess{
        .id = object.decode<UUID>("id"),
        .pid = object.decode<std::int32_t>("pid"),
        .auditToken = object.decode<std::string>("auditToken"),
        .parentID = object.decodeIfPresent<UUID>("parentID"),
        .responsibleID = object.decodeIfPresent<UUID>("responsibleID"),
        .executablePath = object.decode<std::string>("executablePath"),
        .signingStatus = object.decode<CodeSigningStatus>("signingStatus"),
        .recognizedPackageManager =
            object.decodeIfPresent<bool>("recognizedPackageManager").value_or(false),
        .observedAt = object.decode<Date>("observedAt"),
    };
}

Json ReplayFileMetadata::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("path", path);
    encoder.encode("size", size);
    encoder.encode("ownerID", ownerID);
    encoder.encode("groupID", groupID);
    encoder.encode("mode", mode);
    encoder.encodeIfPresent("sha256", sha256);
    encoder.encode("isExecutable", isExecutable);
    encoder.encodeIfPresent("signingStatus", signingStatus);
    return std::move(encoder).finish();
}

ReplayFileMetadata ReplayFileMetadata::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ReplayFileMetadata{
        .id = object.decode<UUID>("id"),
        .path = object.decode<std::string>("path"),
        .size = object.decode<std::uint64_t>("size"),
        .ownerID = object.decode<std::uint32_t>("ownerID"),
        .groupID = object.decode<std::uint32_t>("groupID"),
        .mode = object.decode<std::uint16_t>("mode"),
        .sha256 = object.decodeIfPresent<std::string>("sha256"),
        .isExecutable = object.decode<bool>("isExecutable"),
        .signingStatus = object.decodeIfPresent<CodeSigningStatus>("signingStatus"),
    };
}

Json ReplayEvent::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("id", id);
    encoder.encode("sequence", sequence);
    encoder.encode("observedAt", observedAt);
    encoder.encode("operation", operation);
    encoder.encodeIfPresent("processID", processID);
    encoder.encode("attribution", attribution);
    encoder.encode("fileID", fileID);
    encoder.encode("path", path);
    encoder.encode("size", size);
    encoder.encode("ownerID", ownerID);
    encoder.encode("groupID", groupID);
    encoder.encodeIfPresent("sha256", sha256);
    encoder.encode("isExecutable", isExecutable);
    encoder.encode("mode", mode);
    encoder.encodeIfPresent("signingStatus", signingStatus);
    encoder.encodeIfPresent("destinationPath", destinationPath);
    encoder.encodeIfPresent("previousFile", previousFile);
    encoder.encode("referencedExecutables", referencedExecutables);
    encoder.encode("addedReferencedExecutables", addedReferencedExecutables);
    return std::move(encoder).finish();
}

ReplayEvent ReplayEvent::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ReplayEvent{
        .id = object.decode<UUID>("id"),
        .sequence = object.decode<std::uint64_t>("sequence"),
        .observedAt = object.decode<Date>("observedAt"),
        .operation = object.decode<EventOperation>("operation"),
        .processID = object.decodeIfPresent<UUID>("processID"),
        .attribution = object.decode<AttributionConfidence>("attribution"),
        .fileID = object.decode<UUID>("fileID"),
        .path = object.decode<std::string>("path"),
        .size = object.decodeIfPresent<std::uint64_t>("size").value_or(0),
        .ownerID = object.decodeIfPresent<std::uint32_t>("ownerID").value_or(501),
        .groupID = object.decodeIfPresent<std::uint32_t>("groupID").value_or(20),
        .sha256 = object.decodeIfPresent<std::string>("sha256"),
        .isExecutable = object.decode<bool>("isExecutable"),
        .mode = object.decode<std::uint16_t>("mode"),
        .signingStatus = object.decodeIfPresent<CodeSigningStatus>("signingStatus"),
        .destinationPath = object.decodeIfPresent<std::string>("destinationPath"),
        .previousFile = object.decodeIfPresent<ReplayFileMetadata>("previousFile"),
        .referencedExecutables = object.decode<std::vector<std::string>>("referencedExecutables"),
        .addedReferencedExecutables =
            object.decodeIfPresent<std::vector<std::string>>("addedReferencedExecutables")
                .value_or(std::vector<std::string>{}),
    };
}

// MARK: - Document

Json ReplayFixture::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("schemaVersion", schemaVersion);
    encoder.encode("protectedPaths", protectedPaths);
    encoder.encode("processes", processes);
    encoder.encode("events", events);
    return std::move(encoder).finish();
}

namespace {

// Below this size a second thread costs more than it saves.
constexpr std::size_t sideBySideBytes = std::size_t{1} << 20;

// The fast decoding of bytes that the duplicate-key validator accepts. The order of the checks is
// part of the contract: a duplicate key anywhere is reported before an unknown key anywhere, and
// both before any type error. The validator and the decoding only read the bytes (simdjson checks
// what it parses itself), so on a large fixture they run side by side, and the validator's verdict
// is still taken first, whatever the decoding found.
std::optional<ReplayFixture> validatedFastDecoding(std::string_view bytes,
                                                   std::size_t readableSlack) {
    std::optional<ReplayFixture> fast;
    const auto validate = [bytes] { JSONDuplicateKeyValidator::validate(bytes); };
    const auto decode = [bytes, readableSlack, &fast] {
        fast = ReplayFixtureDecoding::fast(bytes, readableSlack);
    };
    if (bytes.size() >= sideBySideBytes) {
        runSideBySide(validate, decode);
    } else {
        validate();
        decode();
    }
    return fast;
}

}  // namespace

ReplayFixture ReplayFixture::load(const std::filesystem::path& file,
                                  ReplayDateDecodingStrategy dates) {
    return decode(ReplayFixtureFileLoader::read(file), dates,
                  ReplayFixtureFileLoader::readableSlack);
}

ReplayFixture ReplayFixture::decode(std::string_view bytes, ReplayDateDecodingStrategy dates) {
    return decode(bytes, dates, 0);
}

ReplayFixture ReplayFixture::decode(std::string_view bytes, ReplayDateDecodingStrategy dates,
                                    std::size_t readableSlack) {
    constexpr std::int64_t maximum = ReplayFixtureLimits::maximumDataBytes;
    if (bytes.size() > static_cast<std::size_t>(maximum)) {
        throw ReplayFixtureValidationError::dataTooLarge(static_cast<std::int64_t>(bytes.size()),
                                                         maximum);
    }
    std::optional<ReplayFixture> fast = validatedFastDecoding(bytes, readableSlack);
    ReplayFixture fixture = fast ? std::move(*fast) : ReplayFixtureDecoding::reference(bytes);
    if (fixture.schemaVersion != supportedSchemaVersion) {
        throw ReplayFixtureValidationError::unsupportedSchemaVersion(fixture.schemaVersion);
    }
    for (ReplayProcess& process : fixture.processes) {
        process.observedAt = convertedDate(process.observedAt, dates);
    }
    for (ReplayEvent& event : fixture.events) {
        event.observedAt = convertedDate(event.observedAt, dates);
    }
    return fixture;
}

ReplayFixture ReplayFixtureDecoding::reference(std::string_view validatedBytes) {
    // The validator has established well-formed UTF-8 JSON without duplicate keys. Parsing can
    // still fail for a number too large for a double, which the validator does not bound.
    const Json document = parseJSON(validatedBytes);
    ReplayJSONSchema::validateUnknownKeys(document);
    auto payload = ReplayFixtureDecodingPayload::fromJSON(JSONValueDecoder(document, nullptr));
    return ReplayFixture{
        .schemaVersion = payload.schemaVersion,
        .protectedPaths = std::move(payload.protectedPaths),
        .processes = std::move(payload.processes),
        .events = std::move(payload.events),
    };
}

}  // namespace quorin
