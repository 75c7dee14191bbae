#include "QuorinCore/Replay/ReplayFixture.hpp"

#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/ReplaySamples.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::numberedUUID;
using testing::patched;
using testing::replayEvent;
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
    ReplayEvent fullEvent = replayEvent(4, 1, 11.25, "/tmp/a", 2, EventOperation::fileRenamed);
    fullEvent.fileID = numberedUUID(5);
    fullEvent.size = 12;
    fullEvent.ownerID = 0;
    fullEvent.groupID = 0;
    fullEvent.sha256 = "ab";
    fullEvent.isExecutable = true;
    fullEvent.mode = 493;
    fullEvent.signingStatus = CodeSigningStatus::adHoc;
    fullEvent.destinationPath = "~/bin/a";
    fullEvent.previousFile = ReplayFileMetadata{
        numberedUUID(5), "/tmp/a", 3, 501, 20, 420, "cd", false, CodeSigningStatus::developerID};
    fullEvent.referencedExecutables = {"/bin/sh", "~/bin/a"};
    fullEvent.addedReferencedExecutables = {"~/bin/a"};
    ReplayEvent minimalEvent = replayEvent(6, 2, 12, "/tmp/b");
    minimalEvent.fileID = numberedUUID(7);
    return testing::replayFixture(
        {{numberedUUID(1), "~/.zshrc", PathCategory::shellStartup, false,
          ContentHistoryPolicy::encryptedVersions}},
        {{numberedUUID(2), 4242, "token-4242", numberedUUID(3), numberedUUID(3), "/usr/bin/curl",
          CodeSigningStatus::platform, true, Date{10.5}},
         {numberedUUID(3), 1, "t", std::nullopt, std::nullopt, "/sbin/init",
          CodeSigningStatus::unsigned_, false, Date{-1}}},
        {fullEvent, minimalEvent});
}

// A document of version `version` with empty lists, followed by the root members `extra`.
std::string emptyDocument(std::string_view version = "2", std::string_view extra = "") {
    return R"({"schemaVersion":)" + std::string(version) +
           R"(,"protectedPaths":[],"processes":[],"events":[])" + std::string(extra) + "}";
}

std::string emptyDocumentWith(std::string_view patch) {
    return patched(parseJSON(emptyDocument()), patch);
}

std::vector<std::string> keys(const Json& object) {
    std::vector<std::string> result;
    for (const auto& member : object.items()) {
        result.push_back(member.key());
    }
    return result;
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
    // What is written reads back as the same fixture.
    EXPECT_EQ(ReplayFixture::decode(serializeJSON(expectedFixture().toJSON())), expectedFixture());
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
    EXPECT_EQ(keys(fixture.events[0].toJSON()),
              (std::vector<std::string>{"id", "sequence", "observedAt", "operation", "processID",
                                        "attribution", "fileID", "path", "size", "ownerID",
                                        "groupID", "sha256", "isExecutable", "mode",
                                        "signingStatus", "destinationPath", "previousFile",
                                        "referencedExecutables", "addedReferencedExecutables"}));
    EXPECT_EQ(keys(fixture.toJSON()),
              (std::vector<std::string>{"schemaVersion", "protectedPaths", "processes", "events"}));
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

void expectOutcomes(std::initializer_list<std::pair<std::string, std::string>> cases) {
    for (const auto& [bytes, outcome] : cases) {
        EXPECT_EQ(decodingOutcome(bytes), outcome) << bytes;
    }
}

TEST(ReplayFixtureDecoding, ChecksTheSchemaVersionAroundStructuralDecoding) {
    expectOutcomes({
        // Presence is tested before anything else is decoded.
        {"{}", "validation: Replay fixture requires schemaVersion 2"},
        {R"({"protectedPaths":5,"processes":[],"events":[]})",
         "validation: Replay fixture requires schemaVersion 2"},
        {emptyDocument("null"),
         "decoding: Value not found at schemaVersion: Expected a value but found null instead."},
        {emptyDocument("\"2\""),
         "decoding: Type mismatch at schemaVersion: Expected Int64 but found a string instead."},
        // The version is compared only after the lists have decoded.
        {emptyDocument("1"), "validation: Unsupported replay schema version: 1"},
        {emptyDocument("3"), "validation: Unsupported replay schema version: 3"},
        {R"({"schemaVersion":3,"protectedPaths":[],"processes":[]})",
         R"(decoding: Key not found at events: No value associated with key "events".)"},
        {emptyDocument("2"), "decoded"},
        {emptyDocument("2.0"), "decoded"},
        {"[]", "decoding: Type mismatch at <root>: Expected an object but found an array instead."},
    });
}

TEST(ReplayFixtureDecoding, ReportsDuplicateKeysThenUnknownKeysThenTypeErrors) {
    expectOutcomes({
        {emptyDocument("\"two\"", R"(,"extra":1,"processes":[])"),
         "validation: Duplicate replay key $.processes"},
        {emptyDocument("\"two\"", R"(,"extra":1)"), "validation: Unknown replay key $.extra"},
        {emptyDocument("\"two\""),
         "decoding: Type mismatch at schemaVersion: Expected Int64 but found a string instead."},
        // An unknown key outranks a missing schemaVersion as well.
        {R"({"version":2})", "validation: Unknown replay key $.version"},
        // The validator runs before the document is parsed.
        {"{} x", "validation: Malformed replay JSON at byte 3"},
    });

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
    expectOutcomes({
        {withPatch(R"({"zeta":1,"alpha":1})"), "validation: Unknown replay key $.alpha"},
        // Byte order, not letter order: upper case sorts first.
        {withPatch(R"({"zeta":1,"Zeta":1,"alpha":1})"), "validation: Unknown replay key $.Zeta"},
        // U+FF61 sorts before U+1F600, although its UTF-16 code unit sorts after the surrogate.
        {withPatch(R"({"\ud83d\ude00":1,"\uff61":1})"),
         "validation: Unknown replay key $.\xEF\xBD\xA1"},
        // Each object has its own key set: "size" belongs to events, not to protected paths.
        {emptyDocumentWith(R"({"protectedPaths":[{"size":1}]})"),
         "validation: Unknown replay key $.protectedPaths[0].size"},
        {emptyDocumentWith(R"({"processes":[{"sha256":""}]})"),
         "validation: Unknown replay key $.processes[0].sha256"},
        {emptyDocumentWith(R"({"events":[{"pid":1}]})"),
         "validation: Unknown replay key $.events[0].pid"},
        // The root, protected paths, processes and events are checked in that order.
        {emptyDocumentWith(R"({"protectedPaths":[{"x":1}],"x":1})"),
         "validation: Unknown replay key $.x"},
        {emptyDocumentWith(R"({"protectedPaths":[{},{"x":1}],"processes":[{"x":1}]})"),
         "validation: Unknown replay key $.protectedPaths[1].x"},
        {emptyDocumentWith(R"({"processes":[{"x":1}],"events":[{"x":1}]})"),
         "validation: Unknown replay key $.processes[0].x"},
    });

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
    expectOutcomes({
        // Not every element is an object, so no element is checked.
        {emptyDocumentWith(R"({"protectedPaths":[{"bogus":1},5]})"),
         R"(decoding: Key not found at protectedPaths[0].id: No value associated with key "id".)"},
        {emptyDocumentWith(R"({"processes":{"bogus":1}})"),
         "decoding: Type mismatch at processes: Expected an array but found an object instead."},
        {serializeJSON(documentJSON({previousFileInArray})),
         "decoding: Type mismatch at events[0].previousFile: Expected an object but found an "
         "array instead."},
        // The validator does not bound magnitudes; a number beyond a double fails to parse.
        {withHugeSize, "decoding: Data corrupted at <root>: The given data was not valid JSON."},
    });
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
