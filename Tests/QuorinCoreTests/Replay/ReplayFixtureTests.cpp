#include "QuorinCore/Replay/ReplayFixture.hpp"

#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/ReplaySamples.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::numberedUUID;
using Kind = DecodingError::Kind;

// A fixture exactly as it is written: the first record of each kind sets every optional key (with
// values other than the defaults), the second sets none, so it is written with the defaults.
const std::string written =
    R"({"schemaVersion":2,"protectedPaths":[{"id":"00000000-0000-4000-8000-000000000001",)"
    R"("path":"~/.zshrc","category":"shellStartup","recursive":false,)"
    R"("contentPolicy":"encryptedVersions"}],"processes":[)"
    R"({"id":"00000000-0000-4000-8000-000000000002","pid":4242,"auditToken":"token-4242",)"
    R"("parentID":"00000000-0000-4000-8000-000000000003",)"
    R"("responsibleID":"00000000-0000-4000-8000-000000000003","executablePath":"/usr/bin/curl",)"
    R"("signingStatus":"platform","recognizedPackageManager":true,"observedAt":10.5},)"
    R"({"id":"00000000-0000-4000-8000-000000000003","pid":1,"auditToken":"t",)"
    R"("executablePath":"/sbin/init","signingStatus":"unsigned",)"
    R"("recognizedPackageManager":false,"observedAt":-1.0}],"events":[)"
    R"({"id":"00000000-0000-4000-8000-000000000004","sequence":1,"observedAt":11.25,)"
    R"("operation":"fileRenamed","processID":"00000000-0000-4000-8000-000000000002",)"
    R"("attribution":"complete","fileID":"00000000-0000-4000-8000-000000000005",)"
    R"("path":"/tmp/a","size":12,"ownerID":0,"groupID":0,"sha256":"ab","isExecutable":true,)"
    R"("mode":493,"signingStatus":"adHoc","destinationPath":"~/bin/a","previousFile":)"
    R"({"id":"00000000-0000-4000-8000-000000000005","path":"/tmp/a","size":3,"ownerID":501,)"
    R"("groupID":20,"mode":420,"sha256":"cd","isExecutable":false,)"
    R"("signingStatus":"developerID"},"referencedExecutables":["/bin/sh","~/bin/a"],)"
    R"("addedReferencedExecutables":["~/bin/a"]},)"
    R"({"id":"00000000-0000-4000-8000-000000000006","sequence":2,"observedAt":12.0,)"
    R"("operation":"fileModified","attribution":"incomplete",)"
    R"("fileID":"00000000-0000-4000-8000-000000000007","path":"/tmp/b","size":0,)"
    R"("ownerID":501,"groupID":20,"isExecutable":false,"mode":420,)"
    R"("referencedExecutables":[],"addedReferencedExecutables":[]}]})";

ReplayFixture expectedFixture() {
    ReplayEvent full = testing::replayEvent(4, 1, 11.25, "/tmp/a", 2, EventOperation::fileRenamed);
    full.fileID = numberedUUID(5);
    full.size = 12;
    full.ownerID = full.groupID = 0;
    full.sha256 = "ab";
    full.isExecutable = true;
    full.mode = 493;
    full.signingStatus = CodeSigningStatus::adHoc;
    full.destinationPath = "~/bin/a";
    full.previousFile = ReplayFileMetadata{
        numberedUUID(5), "/tmp/a", 3, 501, 20, 420, "cd", false, CodeSigningStatus::developerID};
    full.referencedExecutables = {"/bin/sh", "~/bin/a"};
    full.addedReferencedExecutables = {"~/bin/a"};
    ReplayEvent minimal = testing::replayEvent(6, 2, 12, "/tmp/b");
    minimal.fileID = numberedUUID(7);
    minimal.mode = 420;
    return testing::replayFixture(
        {{numberedUUID(1), "~/.zshrc", PathCategory::shellStartup, false,
          ContentHistoryPolicy::encryptedVersions}},
        {{numberedUUID(2), 4242, "token-4242", numberedUUID(3), numberedUUID(3), "/usr/bin/curl",
          CodeSigningStatus::platform, true, Date{10.5}},
         {numberedUUID(3), 1, "t", std::nullopt, std::nullopt, "/sbin/init",
          CodeSigningStatus::unsigned_, false, Date{-1}}},
        {full, minimal});
}

// `written` with the value at each JSON pointer set (added when absent), as compact text.
std::string edited(std::initializer_list<std::pair<std::string, Json>> edits) {
    Json document = parseJSON(written);
    for (const auto& [pointer, value] : edits) {
        document[Json::json_pointer(pointer)] = value;
    }
    return serializeJSON(document);
}

// A document of version `version` with empty lists, followed by the root members `extra`.
std::string emptyDocument(std::string_view version, std::string_view extra = "") {
    return R"({"schemaVersion":)" + std::string(version) +
           R"(,"protectedPaths":[],"processes":[],"events":[])" + std::string(extra) + "}";
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

TEST(ReplayFixtureCoding, ReadsAndWritesEveryFieldFillingTheDefaultsOfAbsentKeys) {
    EXPECT_EQ(serializeJSON(expectedFixture().toJSON()), written);
    EXPECT_EQ(ReplayFixture::decode(written), expectedFixture());
    Json sparse = parseJSON(written);
    sparse["processes"][1].erase("recognizedPackageManager");
    for (const char* key : {"size", "ownerID", "groupID", "addedReferencedExecutables"}) {
        sparse["events"][1].erase(key);
    }
    EXPECT_EQ(ReplayFixture::decode(serializeJSON(sparse)), expectedFixture());
}

TEST(ReplayFixtureCoding, EveryKeyWithoutADefaultIsRequiredAndIntegersFitTheirField) {
    const Json document = parseJSON(written);
    const auto required = [](auto decoded, const Json& sample,
                             std::initializer_list<std::string> keys) {
        for (const std::string& key : keys) {
            Json without = sample;
            without.erase(key);
            EXPECT_TRUE(failsToDecode<typename decltype(decoded)::type>(
                serializeJSON(without),
                {Kind::keyNotFound, key, "No value associated with key \"" + key + "\"."}))
                << key;
        }
    };
    required(std::type_identity<ReplayProtectedPath>(), document["protectedPaths"][0],
             {"id", "path", "category", "recursive", "contentPolicy"});
    required(std::type_identity<ReplayProcess>(), document["processes"][1],
             {"id", "pid", "auditToken", "executablePath", "signingStatus", "observedAt"});
    required(std::type_identity<ReplayFileMetadata>(), document["events"][0]["previousFile"],
             {"id", "path", "size", "ownerID", "groupID", "mode", "isExecutable"});
    required(std::type_identity<ReplayEvent>(), document["events"][1],
             {"id", "sequence", "observedAt", "operation", "attribution", "fileID", "path",
              "isExecutable", "mode", "referencedExecutables"});

    const ReplayEvent extremes = decodeJSONText<ReplayEvent>(testing::patched(
        document["events"][1], R"({"sequence":18446744073709551615,"mode":65535})"));
    EXPECT_EQ(std::pair(extremes.sequence, extremes.mode),
              std::pair(UINT64_MAX, std::uint16_t{65535}));
    for (const auto& [patch, path] : std::initializer_list<std::pair<const char*, const char*>>{
             {R"({"mode":65536})", "mode"},
             {R"({"ownerID":4294967296})", "ownerID"},
             {R"({"sequence":18446744073709551616})", "sequence"}}) {
        EXPECT_TRUE(failsToDecode<ReplayEvent>(testing::patched(document["events"][1], patch),
                                               {Kind::dataCorrupted, path, ""}))
            << patch;
    }
    EXPECT_TRUE(failsToDecode<ReplayProcess>(
        testing::patched(document["processes"][1], R"({"pid":2147483648})"),
        {Kind::dataCorrupted, "pid", ""}));
}

TEST(ReplayFixtureCoding, TimeStampsFollowTheChosenStrategy) {
    const std::string text =
        edited({{"/processes/0/observedAt", 978307210.5}, {"/events/1/observedAt", 978307212}});
    const auto times = [](const ReplayFixture& fixture) {
        return std::vector{fixture.processes[0].observedAt, fixture.processes[1].observedAt,
                           fixture.events[1].observedAt};
    };
    EXPECT_EQ(times(ReplayFixture::decode(text)),
              (std::vector{Date{978307210.5}, Date{-1}, Date{978307212}}));
    EXPECT_EQ(times(ReplayFixture::decode(text, ReplayDateDecodingStrategy::secondsSince1970)),
              (std::vector{Date{10.5}, Date::fromUnixTime(-1), Date{12}}));
}

// The strict pipeline: the size, then the duplicate-key validator on the bytes, then unknown keys
// in the parsed document, then structural decoding, then the schema version.
TEST(ReplayFixtureDecoding, ReportsTheFirstFaultOfTheStrictPipeline) {
    constexpr auto maximum = static_cast<std::size_t>(ReplayFixtureLimits::maximumDataBytes);
    const std::string tooLarge =
        "validation: Replay fixture is too large (10485761 bytes; maximum 10485760)";
    std::string padded = written;
    padded.resize(maximum, ' ');
    std::string withHugeSize = written;
    withHugeSize.replace(withHugeSize.find(R"("size":12,)"), 10, R"("size":1e400,)");
    const std::pair<std::string, std::string> cases[] = {
        // The size limit, checked before anything looks at the bytes.
        {padded, "decoded"},
        {padded + " ", tooLarge},
        {std::string(maximum + 1, '\xFF'), tooLarge},
        // The schema version: its presence is tested before anything is decoded, its value only
        // after the lists have decoded.
        {R"({"protectedPaths":5,"processes":[],"events":[]})",
         "validation: Replay fixture requires schemaVersion 2"},
        {emptyDocument("null"),
         "decoding: Value not found at schemaVersion: Expected a value but found null instead."},
        {emptyDocument("3"), "validation: Unsupported replay schema version: 3"},
        {R"({"schemaVersion":3,"protectedPaths":[],"processes":[]})",
         R"(decoding: Key not found at events: No value associated with key "events".)"},
        {"[]", "decoding: Type mismatch at <root>: Expected an object but found an array instead."},
        // Duplicate keys, then unknown keys, then type errors.
        {"{} x", "validation: Malformed replay JSON at byte 3"},
        {emptyDocument("\"two\"", R"(,"extra":1,"processes":[])"),
         "validation: Duplicate replay key $.processes"},
        {emptyDocument("\"two\"", R"(,"extra":1)"), "validation: Unknown replay key $.extra"},
        {R"({"version":2})", "validation: Unknown replay key $.version"},
        {edited({{"/events/0/sequence", "two"}}),
         "decoding: Type mismatch at events[0].sequence: Expected UInt64 but found a string "
         "instead."},
        {edited({{"/events/0/sequence", "two"}, {"/events/1/bogus", true}}),
         "validation: Unknown replay key $.events[1].bogus"},
        // Of an object's unknown keys the first in byte order (so scalar order) is named: upper
        // case first, and U+FF61 before U+1F600 although its UTF-16 code unit sorts after the
        // surrogate.
        {edited({{"/zeta", 1}, {"/Zeta", 1}, {"/alpha", 1}}),
         "validation: Unknown replay key $.Zeta"},
        {edited({{"/\U0001F600", 1}, {"/\uFF61", 1}}), "validation: Unknown replay key $.\uFF61"},
        // Each object has its own key set, and the root, protected paths, processes, events and
        // previous files are checked in that order.
        {edited({{"/events/0/pid", 1}}), "validation: Unknown replay key $.events[0].pid"},
        {edited({{"/protectedPaths/0/x", 1}, {"/x", 1}}), "validation: Unknown replay key $.x"},
        {edited({{"/processes/0/x", 1}, {"/protectedPaths/0/x", 1}}),
         "validation: Unknown replay key $.protectedPaths[0].x"},
        {edited({{"/events/0/x", 1}, {"/processes/1/x", 1}}),
         "validation: Unknown replay key $.processes[1].x"},
        {edited({{"/events/0/previousFile/isExecutible", false}, {"/events/1/x", 1}}),
         "validation: Unknown replay key $.events[0].previousFile.isExecutible"},
        // Containers of another shape are left to structural decoding: when not every element is
        // an object, no element is checked.
        {edited({{"/protectedPaths", parseJSON(R"([{"bogus":1},5])")}}),
         R"(decoding: Key not found at protectedPaths[0].id: No value associated with key "id".)"},
        {edited({{"/events/1/previousFile", parseJSON(R"([{"bogus":1}])")}}),
         "decoding: Type mismatch at events[1].previousFile: Expected an object but found an "
         "array instead."},
        // The validator does not bound magnitudes; a number beyond a double fails to parse.
        {withHugeSize, "decoding: Data corrupted at <root>: The given data was not valid JSON."},
    };
    for (const auto& [bytes, outcome] : cases) {
        EXPECT_EQ(decodingOutcome(bytes), outcome) << bytes.substr(0, 200);
    }
}

}  // namespace
}  // namespace quorin
