#include "QuorinCore/Replay/ReplayFixture.hpp"

#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::numberedUUID;
using testing::patched;
using Kind = DecodingError::Kind;

// The samples: the first record of each kind sets every optional key (with values other than the
// defaults), the second sets none.
Json fullProtectedPathJSON() {
    return parseJSON(R"({"id":"00000000-0000-4000-8000-000000000001","path":"~/.zshrc",
        "category":"shellStartup","recursive":false,"contentPolicy":"encryptedVersions"})");
}

Json fullProcessJSON() {
    return parseJSON(R"({"id":"00000000-0000-4000-8000-000000000002","pid":4242,
        "auditToken":"token-4242","parentID":"00000000-0000-4000-8000-000000000003",
        "responsibleID":"00000000-0000-4000-8000-000000000003","executablePath":"/usr/bin/curl",
        "signingStatus":"platform","recognizedPackageManager":true,"observedAt":10.5})");
}

Json minimalProcessJSON() {
    return parseJSON(R"({"id":"00000000-0000-4000-8000-000000000003","pid":1,
        "auditToken":"t","executablePath":"/sbin/init","signingStatus":"unsigned",
        "observedAt":-1})");
}

Json previousFileJSON() {
    return parseJSON(R"({"id":"00000000-0000-4000-8000-000000000005","path":"/tmp/a","size":3,
        "ownerID":501,"groupID":20,"mode":420,"sha256":"cd","isExecutable":false,
        "signingStatus":"developerID"})");
}

Json fullEventJSON() {
    Json event = parseJSON(R"({"id":"00000000-0000-4000-8000-000000000004","sequence":1,
        "observedAt":11.25,"operation":"fileRenamed",
        "processID":"00000000-0000-4000-8000-000000000002","attribution":"complete",
        "fileID":"00000000-0000-4000-8000-000000000005","path":"/tmp/a","size":12,"ownerID":0,
        "groupID":0,"sha256":"ab","isExecutable":true,"mode":493,"signingStatus":"adHoc",
        "destinationPath":"~/bin/a","referencedExecutables":["/bin/sh","~/bin/a"],
        "addedReferencedExecutables":["~/bin/a"]})");
    event["previousFile"] = previousFileJSON();
    return event;
}

Json minimalEventJSON() {
    return parseJSON(R"({"id":"00000000-0000-4000-8000-000000000006","sequence":2,
        "observedAt":12,"operation":"fileModified","attribution":"incomplete",
        "fileID":"00000000-0000-4000-8000-000000000007","path":"/tmp/b","isExecutable":false,
        "mode":420,"referencedExecutables":[]})");
}

Json documentJSON(std::vector<Json> events = {fullEventJSON(), minimalEventJSON()}) {
    Json document = Json::object();
    document["schemaVersion"] = 2;
    document["protectedPaths"] = Json::array({fullProtectedPathJSON()});
    document["processes"] = Json::array({fullProcessJSON(), minimalProcessJSON()});
    document["events"] = std::move(events);
    return document;
}

ReplayFixture expectedFixture() {
    const ReplayFileMetadata previousFile{
        numberedUUID(5), "/tmp/a", 3, 501, 20, 420, "cd", false, CodeSigningStatus::developerID,
    };
    const ReplayEvent fullEvent{
        .id = numberedUUID(4),
        .sequence = 1,
        .observedAt = Date{11.25},
        .operation = EventOperation::fileRenamed,
        .processID = numberedUUID(2),
        .attribution = AttributionConfidence::complete,
        .fileID = numberedUUID(5),
        .path = "/tmp/a",
        .size = 12,
        .ownerID = 0,
        .groupID = 0,
        .sha256 = "ab",
        .isExecutable = true,
        .mode = 493,
        .signingStatus = CodeSigningStatus::adHoc,
        .destinationPath = "~/bin/a",
        .previousFile = previousFile,
        .referencedExecutables = {"/bin/sh", "~/bin/a"},
        .addedReferencedExecutables = {"~/bin/a"},
    };
    const ReplayEvent minimalEvent{
        .id = numberedUUID(6),
        .sequence = 2,
        .observedAt = Date{12},
        .operation = EventOperation::fileModified,
        .processID = std::nullopt,
        .attribution = AttributionConfidence::incomplete,
        .fileID = numberedUUID(7),
        .path = "/tmp/b",
        .size = 0,
        .ownerID = 501,
        .groupID = 20,
        .sha256 = std::nullopt,
        .isExecutable = false,
        .mode = 420,
        .signingStatus = std::nullopt,
        .destinationPath = std::nullopt,
        .previousFile = std::nullopt,
        .referencedExecutables = {},
        .addedReferencedExecutables = {},
    };
    return ReplayFixture{
        .schemaVersion = 2,
        .protectedPaths = {{numberedUUID(1), "~/.zshrc", PathCategory::shellStartup, false,
                            ContentHistoryPolicy::encryptedVersions}},
        .processes = {{numberedUUID(2), 4242, "token-4242", numberedUUID(3), numberedUUID(3),
                       "/usr/bin/curl", CodeSigningStatus::platform, true, Date{10.5}},
                      {numberedUUID(3), 1, "t", std::nullopt, std::nullopt, "/sbin/init",
                       CodeSigningStatus::unsigned_, false, Date{-1}}},
        .events = {fullEvent, minimalEvent},
    };
}

// What decoding `bytes` gives: "decoded", or the error thrown, tagged with its family.
std::string decodingOutcome(std::string_view bytes) {
    try {
        (void)ReplayFixture::decode(bytes);
        return "decoded";
    } catch (const ReplayFixtureValidationError& error) {
        return std::string("validation: ") + error.what();
    } catch (const DecodingError& error) {
        return std::string("decoding: ") + error.what();
    }
}

// MARK: - Records

TEST(ReplayFixtureCoding, DecodesEveryFieldAndFillsTheDefaultsOfAbsentKeys) {
    // The second process and event leave out every optional key: recognizedPackageManager is
    // false, size 0, ownerID 501, groupID 20 and the added references empty; the first event's
    // explicit ownerID and groupID of 0 stay 0.
    EXPECT_EQ(ReplayFixture::decode(serializeJSON(documentJSON())), expectedFixture());
}

TEST(ReplayFixtureCoding, WritesEveryNonOptionalFieldInTableOrderAndOmitsAbsentOptionals) {
    const ReplayFixture fixture = expectedFixture();
    EXPECT_EQ(serializeJSON(fixture.events[1].toJSON()),
              R"({"id":"00000000-0000-4000-8000-000000000006","sequence":2,"observedAt":12.0,)"
              R"("operation":"fileModified","attribution":"incomplete",)"
              R"("fileID":"00000000-0000-4000-8000-000000000007","path":"/tmp/b","size":0,)"
              R"("ownerID":501,"groupID":20,"isExecutable":false,"mode":420,)"
              R"("referencedExecutables":[],"addedReferencedExecutables":[]})");
    EXPECT_EQ(serializeJSON(fixture.processes[1].toJSON()),
              R"({"id":"00000000-0000-4000-8000-000000000003","pid":1,"auditToken":"t",)"
              R"("executablePath":"/sbin/init","signingStatus":"unsigned",)"
              R"("recognizedPackageManager":false,"observedAt":-1.0})");

    const Json event = fixture.events[0].toJSON();
    std::vector<std::string> eventKeys;
    for (const auto& member : event.items()) {
        eventKeys.push_back(member.key());
    }
    EXPECT_EQ(eventKeys,
              (std::vector<std::string>{"id", "sequence", "observedAt", "operation", "processID",
                                        "attribution", "fileID", "path", "size", "ownerID",
                                        "groupID", "sha256", "isExecutable", "mode",
                                        "signingStatus", "destinationPath", "previousFile",
                                        "referencedExecutables", "addedReferencedExecutables"}));
    const Json document = fixture.toJSON();
    std::vector<std::string> documentKeys;
    for (const auto& member : document.items()) {
        documentKeys.push_back(member.key());
    }
    EXPECT_EQ(documentKeys,
              (std::vector<std::string>{"schemaVersion", "protectedPaths", "processes", "events"}));
}

TEST(ReplayFixtureCoding, ADecodedFixtureRoundTripsThroughItsEncoding) {
    const ReplayFixture decoded = ReplayFixture::decode(serializeJSON(documentJSON()));
    EXPECT_EQ(ReplayFixture::decode(serializeJSON(decoded.toJSON())), decoded);
}

template <class T>
void expectRequiredKeys(const Json& sample, std::initializer_list<std::string_view> keys) {
    for (const std::string_view key : keys) {
        Json without = sample;
        without.erase(std::string(key));
        EXPECT_TRUE(failsToDecode<T>(
            serializeJSON(without), {Kind::keyNotFound, std::string(key),
                                     "No value associated with key \"" + std::string(key) + "\"."}))
            << key;
    }
}

TEST(ReplayFixtureCoding, EveryKeyWithoutADefaultIsRequired) {
    expectRequiredKeys<ReplayProtectedPath>(
        fullProtectedPathJSON(), {"id", "path", "category", "recursive", "contentPolicy"});
    expectRequiredKeys<ReplayProcess>(
        minimalProcessJSON(),
        {"id", "pid", "auditToken", "executablePath", "signingStatus", "observedAt"});
    expectRequiredKeys<ReplayFileMetadata>(
        previousFileJSON(), {"id", "path", "size", "ownerID", "groupID", "mode", "isExecutable"});
    expectRequiredKeys<ReplayEvent>(
        minimalEventJSON(), {"id", "sequence", "observedAt", "operation", "attribution", "fileID",
                             "path", "isExecutable", "mode", "referencedExecutables"});
}

TEST(ReplayFixtureCoding, EnumerationTextsMustMatchExactly) {
    const struct {
        std::string patch, path, description;
    } rejected[] = {
        {R"({"operation":"fileModified "})", "operation",
         R"(Cannot initialize EventOperation from invalid value "fileModified ".)"},
        {R"({"operation":"FileModified"})", "operation",
         R"(Cannot initialize EventOperation from invalid value "FileModified".)"},
        {R"({"signingStatus":"unsigned_"})", "signingStatus",
         R"(Cannot initialize CodeSigningStatus from invalid value "unsigned_".)"},
        {R"({"attribution":""})", "attribution",
         R"(Cannot initialize AttributionConfidence from invalid value "".)"},
        {R"({"previousFile":{"signingStatus":" adHoc"}})", "previousFile.signingStatus",
         R"(Cannot initialize CodeSigningStatus from invalid value " adHoc".)"},
    };
    for (const auto& row : rejected) {
        EXPECT_TRUE(failsToDecode<ReplayEvent>(patched(fullEventJSON(), row.patch),
                                               {Kind::dataCorrupted, row.path, row.description}))
            << row.patch;
    }
    EXPECT_TRUE(failsToDecode<ReplayProtectedPath>(
        patched(fullProtectedPathJSON(), R"({"category":"Custom"})"),
        {Kind::dataCorrupted, "category",
         R"(Cannot initialize PathCategory from invalid value "Custom".)"}));
}

TEST(ReplayFixtureCoding, IntegersMustBeIntegralAndFitTheirField) {
    const ReplayEvent extremes = decodeJSON<ReplayEvent>(parseJSON(
        patched(minimalEventJSON(), R"({"sequence":18446744073709551615,"mode":65535})")));
    EXPECT_EQ(extremes.sequence, UINT64_MAX);
    EXPECT_EQ(extremes.mode, 65535);

    const struct {
        std::string patch, path;
    } eventRows[] = {
        {R"({"mode":65536})", "mode"},
        {R"({"ownerID":4294967296})", "ownerID"},
        {R"({"size":1.5})", "size"},
        {R"({"sequence":18446744073709551616})", "sequence"},
    };
    for (const auto& row : eventRows) {
        EXPECT_TRUE(failsToDecode<ReplayEvent>(patched(minimalEventJSON(), row.patch),
                                               {Kind::dataCorrupted, row.path, ""}))
            << row.patch;
    }
    EXPECT_TRUE(failsToDecode<ReplayProcess>(patched(minimalProcessJSON(), R"({"pid":2147483648})"),
                                             {Kind::dataCorrupted, "pid", ""}));
}

TEST(ReplayFixtureCoding, TimeStampsFollowTheChosenStrategy) {
    Json document = documentJSON({minimalEventJSON()});
    document["processes"][0]["observedAt"] = 978307210.5;
    document["events"][0]["observedAt"] = 978307212;
    const std::string text = serializeJSON(document);

    const ReplayFixture sinceReference = ReplayFixture::decode(text);
    EXPECT_EQ(sinceReference.processes[0].observedAt, Date{978307210.5});
    EXPECT_EQ(sinceReference.events[0].observedAt, Date{978307212});

    const ReplayFixture since1970 =
        ReplayFixture::decode(text, ReplayDateDecodingStrategy::secondsSince1970);
    EXPECT_EQ(since1970.processes[0].observedAt, Date{10.5});
    EXPECT_EQ(since1970.processes[1].observedAt, Date::fromUnixTime(-1));
    EXPECT_EQ(since1970.events[0].observedAt, Date{12});
}

// MARK: - The strict pipeline

TEST(ReplayFixtureDecoding, ChecksTheSchemaVersionAroundStructuralDecoding) {
    const struct {
        std::string bytes, outcome;
    } cases[] = {
        // Presence is tested before anything else is decoded.
        {"{}", "validation: Replay fixture requires schemaVersion 2"},
        {R"({"protectedPaths":5,"processes":[],"events":[]})",
         "validation: Replay fixture requires schemaVersion 2"},
        {R"({"schemaVersion":null,"protectedPaths":[],"processes":[],"events":[]})",
         "decoding: Value not found at schemaVersion: Expected a value but found null instead."},
        {R"({"schemaVersion":"2","protectedPaths":[],"processes":[],"events":[]})",
         "decoding: Type mismatch at schemaVersion: Expected Int64 but found a string instead."},
        // The version is compared only after the lists have decoded.
        {R"({"schemaVersion":1,"protectedPaths":[],"processes":[],"events":[]})",
         "validation: Unsupported replay schema version: 1"},
        {R"({"schemaVersion":3,"protectedPaths":[],"processes":[],"events":[]})",
         "validation: Unsupported replay schema version: 3"},
        {R"({"schemaVersion":3,"protectedPaths":[],"processes":[]})",
         R"(decoding: Key not found at events: No value associated with key "events".)"},
        {R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[]})", "decoded"},
        {R"({"schemaVersion":2.0,"protectedPaths":[],"processes":[],"events":[]})", "decoded"},
        {"[]", "decoding: Type mismatch at <root>: Expected an object but found an array instead."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodingOutcome(c.bytes), c.outcome) << c.bytes;
    }
}

TEST(ReplayFixtureDecoding, ReportsDuplicateKeysThenUnknownKeysThenTypeErrors) {
    const struct {
        std::string bytes, outcome;
    } cases[] = {
        {R"({"schemaVersion":"two","protectedPaths":[],"processes":[],"events":[],"extra":1,)"
         R"("processes":[]})",
         "validation: Duplicate replay key $.processes"},
        {R"({"schemaVersion":"two","protectedPaths":[],"processes":[],"events":[],"extra":1})",
         "validation: Unknown replay key $.extra"},
        {R"({"schemaVersion":"two","protectedPaths":[],"processes":[],"events":[]})",
         "decoding: Type mismatch at schemaVersion: Expected Int64 but found a string instead."},
        // An unknown key outranks a missing schemaVersion as well.
        {R"({"version":2})", "validation: Unknown replay key $.version"},
        // The validator runs before the document is parsed.
        {"{} x", "validation: Malformed replay JSON at byte 3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodingOutcome(c.bytes), c.outcome) << c.bytes;
    }

    std::vector<Json> events(5, minimalEventJSON());
    events[2]["sequence"] = "two";
    EXPECT_EQ(decodingOutcome(serializeJSON(documentJSON(events))),
              "decoding: Type mismatch at events[2].sequence: Expected UInt64 but found a string "
              "instead.");
    events[4]["bogus"] = true;
    EXPECT_EQ(decodingOutcome(serializeJSON(documentJSON(events))),
              "validation: Unknown replay key $.events[4].bogus");
}

TEST(ReplayFixtureDecoding, NamesTheObjectAndTheFirstUnknownKeyInScalarOrder) {
    const auto withPatch = [](std::string_view patch) {
        return patched(documentJSON({minimalEventJSON(), minimalEventJSON(), minimalEventJSON(),
                                     fullEventJSON()}),
                       patch);
    };
    const struct {
        std::string bytes, outcome;
    } cases[] = {
        {withPatch(R"({"zeta":1,"alpha":1})"), "validation: Unknown replay key $.alpha"},
        // Byte order, not letter order: upper case sorts first.
        {withPatch(R"({"zeta":1,"Zeta":1,"alpha":1})"), "validation: Unknown replay key $.Zeta"},
        // U+FF61 sorts before U+1F600, although its UTF-16 code unit sorts after the surrogate.
        {withPatch(R"({"\ud83d\ude00":1,"\uff61":1})"),
         "validation: Unknown replay key $.\xEF\xBD\xA1"},
        // Each object has its own key set: "size" belongs to events, not to protected paths.
        {R"({"schemaVersion":2,"protectedPaths":[{"size":1}],"processes":[],"events":[]})",
         "validation: Unknown replay key $.protectedPaths[0].size"},
        {R"({"schemaVersion":2,"protectedPaths":[],"processes":[{"sha256":""}],"events":[]})",
         "validation: Unknown replay key $.processes[0].sha256"},
        {R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[{"pid":1}]})",
         "validation: Unknown replay key $.events[0].pid"},
        // The root, protected paths, processes and events are checked in that order.
        {R"({"schemaVersion":2,"protectedPaths":[{"x":1}],"processes":[],"events":[],"x":1})",
         "validation: Unknown replay key $.x"},
        {R"({"schemaVersion":2,"protectedPaths":[{},{"x":1}],"processes":[{"x":1}],"events":[]})",
         "validation: Unknown replay key $.protectedPaths[1].x"},
        {R"({"schemaVersion":2,"protectedPaths":[],"processes":[{"x":1}],"events":[{"x":1}]})",
         "validation: Unknown replay key $.processes[0].x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodingOutcome(c.bytes), c.outcome) << c.bytes;
    }

    Json document = parseJSON(withPatch("{}"));
    document["events"][3]["previousFile"]["isExecutible"] = false;
    EXPECT_EQ(decodingOutcome(serializeJSON(document)),
              "validation: Unknown replay key $.events[3].previousFile.isExecutible");
}

TEST(ReplayFixtureDecoding, LeavesContainersOfAnotherShapeToStructuralDecoding) {
    Json previousFileInArray = minimalEventJSON();
    previousFileInArray["previousFile"] = Json::array({Json{{"bogus", 1}}});
    std::string withHugeSize = serializeJSON(documentJSON());
    withHugeSize.replace(withHugeSize.find(R"("size":12,)"), 10, R"("size":1e400,)");
    const struct {
        std::string bytes, outcome;
    } cases[] = {
        // Not every element is an object, so no element is checked.
        {R"({"schemaVersion":2,"protectedPaths":[{"bogus":1},5],"processes":[],"events":[]})",
         R"(decoding: Key not found at protectedPaths[0].id: No value associated with key "id".)"},
        {R"({"schemaVersion":2,"protectedPaths":[],"processes":{"bogus":1},"events":[]})",
         "decoding: Type mismatch at processes: Expected an array but found an object instead."},
        {serializeJSON(documentJSON({previousFileInArray})),
         "decoding: Type mismatch at events[0].previousFile: Expected an object but found an "
         "array instead."},
        // The validator does not bound magnitudes; a number beyond a double fails to parse.
        {withHugeSize, "decoding: Data corrupted at <root>: The given data was not valid JSON."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodingOutcome(c.bytes), c.outcome) << c.bytes;
    }
}

TEST(ReplayFixtureDecoding, AcceptsDataUpToTheSizeLimitAndRejectsOneByteMore) {
    constexpr auto maximum = static_cast<std::size_t>(ReplayFixtureLimits::maximumDataBytes);
    std::string bytes = serializeJSON(documentJSON());
    bytes.resize(maximum, ' ');
    EXPECT_EQ(ReplayFixture::decode(bytes), expectedFixture());

    bytes.push_back(' ');
    EXPECT_EQ(decodingOutcome(bytes),
              "validation: Replay fixture is too large (10485761 bytes; maximum 10485760)");
    // The size is checked before anything looks at the bytes.
    EXPECT_EQ(decodingOutcome(std::string(maximum + 1, '\xFF')),
              "validation: Replay fixture is too large (10485761 bytes; maximum 10485760)");
}

}  // namespace
}  // namespace quorin
