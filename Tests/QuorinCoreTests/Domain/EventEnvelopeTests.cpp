#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::roundTrip;
using testing::uuid;
using Kind = DecodingError::Kind;

const EventID eventID{uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")};
const ProcessID processID{uuid("0A1B2C3D-0000-4000-8000-00000000000A")};

std::vector<NormalizedPath> paths(std::initializer_list<const char*> texts) {
    std::vector<NormalizedPath> result;
    for (const char* text : texts) {
        result.emplace_back(text, "/Users/ada");
    }
    return result;
}

EventEnvelope envelope(std::optional<ProcessID> process, AttributionConfidence attribution,
                       std::vector<NormalizedPath> referenced = {},
                       std::vector<NormalizedPath> added = {},
                       ObservationContext context = ObservationContext::ordinary) {
    return EventEnvelope(eventID, std::nullopt, Date{12.5}, EventOperation::fileModified, process,
                         std::nullopt, std::nullopt, std::nullopt, std::move(referenced),
                         std::move(added), attribution, context);
}

FileMetadata fileAt(const char* path, std::uint64_t size) {
    return FileMetadata{
        .id = FileObjectID{uuid("11111111-2222-4333-8444-555555555555")},
        .path = NormalizedPath(path, "/Users/ada"),
        .size = size,
        .ownerID = 501,
        .groupID = 20,
        .mode = 0755,
        .sha256 = std::nullopt,
        .isExecutable = true,
        .signing = std::nullopt,
        .kind = FileKind::regularFile,
        .symlinkTarget = std::nullopt,
    };
}

// MARK: - Construction

TEST(EventEnvelopeConstruction, WithoutProcessTheAttributionIsIncompleteWhateverWasAsked) {
    const struct {
        std::optional<ProcessID> process;
        AttributionConfidence asked;
        AttributionConfidence expected;
    } cases[] = {
        {std::nullopt, AttributionConfidence::complete, AttributionConfidence::incomplete},
        {std::nullopt, AttributionConfidence::correlated, AttributionConfidence::incomplete},
        {std::nullopt, AttributionConfidence::incomplete, AttributionConfidence::incomplete},
        {processID, AttributionConfidence::complete, AttributionConfidence::complete},
        {processID, AttributionConfidence::correlated, AttributionConfidence::correlated},
        {processID, AttributionConfidence::incomplete, AttributionConfidence::incomplete},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(envelope(c.process, c.asked).attribution(), c.expected)
            << rawValue(c.asked) << (c.process ? " with" : " without") << " a process";
    }
}

TEST(EventEnvelopeConstruction, DropsRepetitionsAndAdditionsThatAreNotReferenced) {
    const struct {
        std::vector<NormalizedPath> referenced;
        std::vector<NormalizedPath> added;
        std::vector<NormalizedPath> expectedReferenced;
        std::vector<NormalizedPath> expectedAdded;
    } cases[] = {
        {paths({"/A", "/B", "/A"}), paths({"/B", "/C", "/B"}), paths({"/A", "/B"}), paths({"/B"})},
        // The first occurrence stays where it was; the added list keeps its own order.
        {paths({"/c", "/a", "/c", "/b", "/a"}), paths({"/b", "/a", "/b"}),
         paths({"/c", "/a", "/b"}), paths({"/b", "/a"})},
        {paths({"/a"}), paths({"/x", "/y"}), paths({"/a"}), {}},
        {{}, paths({"/a"}), {}, {}},
        // Paths are compared in their normalized form.
        {paths({"/a/b", "/a/./b/", "~/x", "/Users/ada/x"}), paths({"/a//b"}),
         paths({"/a/b", "/Users/ada/x"}), paths({"/a/b"})},
    };
    for (const auto& c : cases) {
        const EventEnvelope value =
            envelope(processID, AttributionConfidence::complete, c.referenced, c.added);
        EXPECT_EQ(value.referencedExecutables(), c.expectedReferenced);
        EXPECT_EQ(value.addedReferencedExecutables(), c.expectedAdded);
    }
}

TEST(EventEnvelopeConstruction, ObservationContextDefaultsToOrdinary) {
    const EventEnvelope value(eventID, 7, Date{1}, EventOperation::processExec, processID,
                              std::nullopt, std::nullopt, std::nullopt, {}, {},
                              AttributionConfidence::complete);
    EXPECT_EQ(value.observationContext(), ObservationContext::ordinary);
}

TEST(EventEnvelopeAttributed, ReplacesProcessAndConfidenceAndReappliesTheInvariants) {
    const EventEnvelope unattributed =
        EventEnvelope(eventID, 42, Date{3.25}, EventOperation::fileRenamed, std::nullopt,
                      fileAt("/new", 9), fileAt("/old", 8), NormalizedPath("/new", "/"),
                      paths({"/bin/sh", "/bin/zsh"}), paths({"/bin/zsh"}),
                      AttributionConfidence::incomplete, ObservationContext::gapReconciliation);

    const EventEnvelope attributed =
        unattributed.attributed(processID, AttributionConfidence::correlated);
    EXPECT_EQ(attributed.processID(), processID);
    EXPECT_EQ(attributed.attribution(), AttributionConfidence::correlated);

    const EventEnvelope detached =
        attributed.attributed(std::nullopt, AttributionConfidence::complete);
    EXPECT_EQ(detached.processID(), std::nullopt);
    EXPECT_EQ(detached.attribution(), AttributionConfidence::incomplete);
    EXPECT_EQ(detached, unattributed);
}

// MARK: - Encoding

TEST(EventEnvelopeEncoding, WritesKeysInFieldOrderAndOmitsWhatIsAbsentOrDefault) {
    EXPECT_EQ(
        encodeJSONText(envelope(std::nullopt, AttributionConfidence::incomplete)),
        R"({"id":{"value":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},"observedAt":12.5,)"
        R"("operation":"fileModified","referencedExecutables":[],"attribution":"incomplete"})");

    const EventEnvelope full(
        eventID, 18446744073709551615ULL, Date{-0.5}, EventOperation::executionDenied, processID,
        fileAt("/b", 1), fileAt("/a", 0), NormalizedPath("/b", "/"), paths({"/x", "/y"}),
        paths({"/y"}), AttributionConfidence::correlated, ObservationContext::gapReconciliation);
    const std::string file = R"({"id":{"value":"11111111-2222-4333-8444-555555555555"},)"
                             R"("path":{"value":"/b"},"size":1,"ownerID":501,"groupID":20,)"
                             R"("mode":493,"isExecutable":true,"kind":"regularFile"})";
    const std::string previousFile = R"({"id":{"value":"11111111-2222-4333-8444-555555555555"},)"
                                     R"("path":{"value":"/a"},"size":0,"ownerID":501,"groupID":20,)"
                                     R"("mode":493,"isExecutable":true,"kind":"regularFile"})";
    EXPECT_EQ(encodeJSONText(full),
              R"({"id":{"value":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},)"
              R"("sequence":18446744073709551615,"observedAt":-0.5,)"
              R"("operation":"executionDenied",)"
              R"("processID":{"value":"0A1B2C3D-0000-4000-8000-00000000000A"},)"
              R"("file":)" +
                  file + R"(,"previousFile":)" + previousFile +
                  R"(,"destinationPath":{"value":"/b"},)"
                  R"("referencedExecutables":[{"value":"/x"},{"value":"/y"}],)"
                  R"("addedReferencedExecutables":[{"value":"/y"}],)"
                  R"("attribution":"correlated","observationContext":"gapReconciliation"})");
}

// MARK: - Decoding

// A valid envelope with a process, complete attribution and two referenced executables, one of
// them added. Each failing case below edits it with a JSON merge patch (null removes a key).
Json validDocument() {
    return parseJSON(R"({"id":{"value":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},"observedAt":12.5,)"
                     R"("operation":"fileModified",)"
                     R"("processID":{"value":"0a1b2c3d-0000-4000-8000-00000000000a"},)"
                     R"("referencedExecutables":[{"value":"/a"},{"value":"/b"}],)"
                     R"("addedReferencedExecutables":[{"value":"/b"}],"attribution":"complete"})");
}

std::string patched(const char* patch) {
    Json document = validDocument();
    document.merge_patch(parseJSON(patch));
    return serializeJSON(document);
}

constexpr const char* attributionSentence = "Complete attribution requires an attributed process.";
constexpr const char* referencedSentence = "Referenced executables must not contain duplicates.";
constexpr const char* addedDuplicateSentence =
    "Added referenced executables must not contain duplicates.";
constexpr const char* addedUnreferencedSentence =
    "Added referenced executables must be referenced executables.";

TEST(EventEnvelopeDecoding, MissingOptionalKeysGiveTheirDefaultsAndStayOmitted) {
    const std::string text =
        R"({"id":{"value":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f"},"observedAt":12.5,)"
        R"("operation":"fileModified","referencedExecutables":[{"value":"/a"}],)"
        R"("attribution":"incomplete","unknownKey":[1,2,3]})";
    const auto value = decodeJSONText<EventEnvelope>(text);
    EXPECT_TRUE(value.addedReferencedExecutables().empty());
    EXPECT_EQ(value.observationContext(), ObservationContext::ordinary);
    EXPECT_EQ(value.sequence(), std::nullopt);
    EXPECT_EQ(value.processID(), std::nullopt);
    EXPECT_EQ(encodeJSONText(value),
              R"({"id":{"value":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},"observedAt":12.5,)"
              R"("operation":"fileModified","referencedExecutables":[{"value":"/a"}],)"
              R"("attribution":"incomplete"})");
}

TEST(EventEnvelopeDecoding, RoundTripsEveryShape) {
    const EventEnvelope values[] = {
        envelope(std::nullopt, AttributionConfidence::incomplete),
        envelope(processID, AttributionConfidence::complete, paths({"/a", "/b"}), paths({"/b"}),
                 ObservationContext::gapReconciliation),
        EventEnvelope(eventID, 0, Date{-1e9 + 0.125}, EventOperation::ownerChanged, processID,
                      fileAt("/f", UINT64_MAX), fileAt("/f", 0), NormalizedPath("/", "/"), {}, {},
                      AttributionConfidence::correlated),
    };
    for (const EventEnvelope& value : values) {
        EXPECT_EQ(roundTrip(value), value) << encodeJSONText(value);
    }
}

TEST(EventEnvelopeDecoding, NullOptionalKeysCountAsAbsent) {
    const auto value = decodeJSONText<EventEnvelope>(
        std::string(R"({"id":{"value":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},"observedAt":1,)"
                    R"("operation":"processExit","processID":null,"sequence":null,"file":null,)"
                    R"("previousFile":null,"destinationPath":null,"referencedExecutables":[],)"
                    R"("addedReferencedExecutables":null,"attribution":"incomplete",)"
                    R"("observationContext":null})"));
    EXPECT_EQ(value, EventEnvelope(eventID, std::nullopt, Date{1}, EventOperation::processExit,
                                   std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}, {},
                                   AttributionConfidence::incomplete));
}

TEST(EventEnvelopeDecoding, RejectsEachViolatedInvariantAtItsKey) {
    const struct {
        const char* patch;
        const char* key;
        const char* sentence;
    } cases[] = {
        {R"({"processID":null,"attribution":"complete"})", "attribution", attributionSentence},
        {R"({"processID":null,"attribution":"correlated"})", "attribution", attributionSentence},
        {R"({"referencedExecutables":[{"value":"/a"},{"value":"/b"},{"value":"/a"}]})",
         "referencedExecutables", referencedSentence},
        {R"({"addedReferencedExecutables":[{"value":"/b"},{"value":"/b"}]})",
         "addedReferencedExecutables", addedDuplicateSentence},
        {R"({"addedReferencedExecutables":[{"value":"/b"},{"value":"/c"}]})",
         "addedReferencedExecutables", addedUnreferencedSentence},
        {R"({"referencedExecutables":[],"addedReferencedExecutables":[{"value":"/a"}]})",
         "addedReferencedExecutables", addedUnreferencedSentence},
        // The checks come in a fixed order: attribution, referenced, added repeated, added
        // unreferenced. Each case below violates several of them at once.
        {R"({"processID":null,"attribution":"correlated",)"
         R"("referencedExecutables":[{"value":"/a"},{"value":"/a"}],)"
         R"("addedReferencedExecutables":[{"value":"/x"},{"value":"/x"}]})",
         "attribution", attributionSentence},
        {R"({"referencedExecutables":[{"value":"/A"},{"value":"/B"},{"value":"/A"}],)"
         R"("addedReferencedExecutables":[{"value":"/B"},{"value":"/C"},{"value":"/B"}]})",
         "referencedExecutables", referencedSentence},
        {R"({"addedReferencedExecutables":[{"value":"/x"},{"value":"/x"}]})",
         "addedReferencedExecutables", addedDuplicateSentence},
        // The invariants are checked before the remaining keys are read.
        {R"({"id":null,"observedAt":"soon","operation":"FileModified","processID":null,)"
         R"("file":7,"observationContext":"none"})",
         "attribution", attributionSentence},
        {R"({"id":null,"addedReferencedExecutables":[{"value":"/z"}]})",
         "addedReferencedExecutables", addedUnreferencedSentence},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(failsToDecode<EventEnvelope>(patched(c.patch),
                                                 {Kind::dataCorrupted, c.key, c.sentence}))
            << c.patch;
    }
}

TEST(EventEnvelopeDecoding, ReadsTheCheckedKeysBeforeCheckingThem) {
    const struct {
        const char* patch;
        testing::ExpectedDecodingError expected;
    } cases[] = {
        // A malformed process is read first, before the attribution it would excuse.
        {R"({"processID":{"value":"not-a-uuid"},"attribution":"correlated"})",
         {Kind::dataCorrupted, "processID.value", ""}},
        {R"({"processID":null,"attribution":"Complete"})",
         {Kind::dataCorrupted, "attribution",
          R"(Cannot initialize AttributionConfidence from invalid value "Complete".)"}},
        {R"({"processID":null,"referencedExecutables":null})",
         {Kind::keyNotFound, "referencedExecutables",
          R"(No value associated with key "referencedExecutables".)"}},
        {R"({"processID":null,"addedReferencedExecutables":{"value":"/b"}})",
         {Kind::typeMismatch, "addedReferencedExecutables",
          "Expected an array but found an object instead."}},
        // A non-canonical path fails with its own message, even where it would repeat another.
        {R"({"referencedExecutables":[{"value":"/a"},{"value":"/a/"}]})",
         {Kind::dataCorrupted, "referencedExecutables[1].value",
          "NormalizedPath requires a canonical path."}},
        {R"({"addedReferencedExecutables":[{"value":"b"}]})",
         {Kind::dataCorrupted, "addedReferencedExecutables[0].value",
          "NormalizedPath requires an absolute path."}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(failsToDecode<EventEnvelope>(patched(c.patch), c.expected)) << c.patch;
    }
}

TEST(EventEnvelopeDecoding, RejectsMissingAndMistypedKeys) {
    const struct {
        const char* patch;
        testing::ExpectedDecodingError expected;
    } cases[] = {
        {R"({"attribution":null})",
         {Kind::keyNotFound, "attribution", R"(No value associated with key "attribution".)"}},
        {R"({"id":null})", {Kind::keyNotFound, "id", R"(No value associated with key "id".)"}},
        {R"({"observedAt":null})",
         {Kind::keyNotFound, "observedAt", R"(No value associated with key "observedAt".)"}},
        {R"({"operation":null})",
         {Kind::keyNotFound, "operation", R"(No value associated with key "operation".)"}},
        {R"({"operation":"FILEMODIFIED"})",
         {Kind::dataCorrupted, "operation",
          R"(Cannot initialize EventOperation from invalid value "FILEMODIFIED".)"}},
        {R"({"observationContext":"GapReconciliation"})",
         {Kind::dataCorrupted, "observationContext",
          R"(Cannot initialize ObservationContext from invalid value "GapReconciliation".)"}},
        {R"({"attribution":"Incomplete","processID":null})",
         {Kind::dataCorrupted, "attribution",
          R"(Cannot initialize AttributionConfidence from invalid value "Incomplete".)"}},
        {R"({"observedAt":"12.5"})",
         {Kind::typeMismatch, "observedAt", "Expected Double but found a string instead."}},
        {R"({"sequence":-1})",
         {Kind::dataCorrupted, "sequence", "Number -1 does not fit in UInt64."}},
        {R"({"sequence":1.5})",
         {Kind::dataCorrupted, "sequence", "Number 1.5 does not fit in UInt64."}},
        {R"({"referencedExecutables":"/a"})",
         {Kind::typeMismatch, "referencedExecutables",
          "Expected an array but found a string instead."}},
        {R"({"referencedExecutables":["/a"]})",
         {Kind::typeMismatch, "referencedExecutables[0]",
          "Expected an object but found a string instead."}},
        {R"({"destinationPath":{"value":"/a/../b"}})",
         {Kind::dataCorrupted, "destinationPath.value",
          "NormalizedPath requires a canonical path."}},
        {R"({"file":{"id":{"value":"11111111-2222-4333-8444-555555555555"}}})",
         {Kind::keyNotFound, "file.path", R"(No value associated with key "path".)"}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(failsToDecode<EventEnvelope>(patched(c.patch), c.expected)) << c.patch;
    }
}

TEST(EventEnvelopeDecoding, RejectsNullForEveryRequiredKey) {
    for (const char* key :
         {"id", "observedAt", "operation", "referencedExecutables", "attribution"}) {
        Json document = validDocument();
        document[key] = nullptr;
        EXPECT_TRUE(failsToDecode<EventEnvelope>(
            serializeJSON(document),
            {Kind::valueNotFound, key, "Expected a value but found null instead."}))
            << key;
    }
}

TEST(EventEnvelopeDecoding, FindsARepetitionAtTheEndOfALongList) {
    Json referenced = Json::array();
    for (int index = 0; index < 20000; ++index) {
        referenced.push_back({{"value", "/bin/tool" + std::to_string(index)}});
    }
    Json document = validDocument();
    document["referencedExecutables"] = referenced;
    document["addedReferencedExecutables"] = Json::array({referenced.back(), referenced.front()});
    EXPECT_EQ(decodeJSON<EventEnvelope>(document).referencedExecutables().size(), 20000U);

    document["referencedExecutables"].push_back({{"value", "/bin/tool0"}});
    EXPECT_TRUE(failsToDecode<EventEnvelope>(
        serializeJSON(document),
        {Kind::dataCorrupted, "referencedExecutables", referencedSentence}));
}

}  // namespace
}  // namespace quorin
