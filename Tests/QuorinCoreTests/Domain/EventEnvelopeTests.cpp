#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
#include <optional>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::normalizedPaths;
using Kind = DecodingError::Kind;
using Paths = std::vector<NormalizedPath>;

const ProcessID processID{testing::numberedUUID(4)};

EventEnvelope envelope(std::optional<ProcessID> process, AttributionConfidence attribution,
                       Paths referenced = {}, Paths added = {}) {
    return EventEnvelope(EventID(testing::numberedUUID(3)), std::nullopt, Date{12.5},
                         EventOperation::fileModified, process, std::nullopt, std::nullopt,
                         std::nullopt, std::move(referenced), std::move(added), attribution);
}

TEST(EventEnvelopeConstruction, WithoutAProcessTheAttributionIsIncompleteWhateverWasAsked) {
    for (const auto& [confidence, text] : EnumerationTexts<AttributionConfidence>::cases) {
        EXPECT_EQ(envelope(processID, confidence).attribution(), confidence) << text;
        EXPECT_EQ(envelope(std::nullopt, confidence).attribution(),
                  AttributionConfidence::incomplete)
            << text;
    }
}

TEST(EventEnvelopeConstruction, KeepsFirstOccurrencesAndOnlyReferencedAdditions) {
    const struct {
        Paths referenced, added, expectedReferenced, expectedAdded;
    } cases[] = {
        {normalizedPaths({"/A", "/B", "/A"}), normalizedPaths({"/B", "/C", "/B"}),
         normalizedPaths({"/A", "/B"}), normalizedPaths({"/B"})},
        // The first occurrence stays where it was; the added list keeps its own order.
        {normalizedPaths({"/c", "/a", "/c", "/b", "/a"}), normalizedPaths({"/b", "/a", "/b"}),
         normalizedPaths({"/c", "/a", "/b"}), normalizedPaths({"/b", "/a"})},
        {{}, normalizedPaths({"/a"}), {}, {}},
    };
    for (const auto& c : cases) {
        const EventEnvelope value =
            envelope(processID, AttributionConfidence::complete, c.referenced, c.added);
        EXPECT_EQ(value.referencedExecutables(), c.expectedReferenced);
        EXPECT_EQ(value.addedReferencedExecutables(), c.expectedAdded);
    }
}

TEST(EventEnvelopeConstruction, AttributedReplacesTheProcessAndReappliesTheInvariants) {
    const EventEnvelope full = testing::fullEvent();  // correlated with a process
    const EventEnvelope detached = full.attributed(std::nullopt, AttributionConfidence::complete);
    EXPECT_EQ(detached.processID(), std::nullopt);
    EXPECT_EQ(detached.attribution(), AttributionConfidence::incomplete);
    EXPECT_EQ(detached.attributed(full.processID(), AttributionConfidence::correlated), full);
}

constexpr const char* attributionSentence = "Complete attribution requires an attributed process.";

TEST(EventEnvelopeDecoding, ReportsTheFirstFailureInReadingAndCheckingOrder) {
    // A valid envelope, correlated with a process, referencing /a and /b and adding /b.
    const Json valid = encodeJSON(envelope(processID, AttributionConfidence::correlated,
                                           normalizedPaths({"/a", "/b"}), normalizedPaths({"/b"})));
    // Each step breaks one key. The document for a step has that step and all later ones applied
    // (that step last), so its failure must come before every failure of the later steps.
    const struct {
        const char* patch;
        testing::ExpectedDecodingError expected;
    } steps[] = {
        {R"({"processID":{"value":"not-a-uuid"}})", {Kind::dataCorrupted, "processID.value", ""}},
        {R"({"attribution":"Correlated"})", {Kind::dataCorrupted, "attribution", ""}},
        {R"({"referencedExecutables":null})", {Kind::keyNotFound, "referencedExecutables", ""}},
        {R"({"addedReferencedExecutables":{}})",
         {Kind::typeMismatch, "addedReferencedExecutables", ""}},
        // The invariants are checked after those four reads and before any other; with the later
        // steps applied, each of these documents also violates every later invariant.
        {R"({"processID":null})", {Kind::dataCorrupted, "attribution", attributionSentence}},
        {R"({"referencedExecutables":[{"value":"/a"},{"value":"/a"}]})",
         {Kind::dataCorrupted, "referencedExecutables",
          "Referenced executables must not contain duplicates."}},
        {R"({"addedReferencedExecutables":[{"value":"/c"},{"value":"/c"}]})",
         {Kind::dataCorrupted, "addedReferencedExecutables",
          "Added referenced executables must not contain duplicates."}},
        {R"({"addedReferencedExecutables":[{"value":"/c"}]})",
         {Kind::dataCorrupted, "addedReferencedExecutables",
          "Added referenced executables must be referenced executables."}},
        {R"({"id":null})", {Kind::keyNotFound, "id", ""}},
        {R"({"sequence":-1})", {Kind::dataCorrupted, "sequence", ""}},
        {R"({"observedAt":"soon"})", {Kind::typeMismatch, "observedAt", ""}},
        {R"({"operation":"FileModified"})", {Kind::dataCorrupted, "operation", ""}},
        {R"({"file":7})", {Kind::typeMismatch, "file", ""}},
        {R"({"previousFile":7})", {Kind::typeMismatch, "previousFile", ""}},
        {R"({"destinationPath":7})", {Kind::typeMismatch, "destinationPath", ""}},
        {R"({"observationContext":"Ordinary"})", {Kind::dataCorrupted, "observationContext", ""}},
    };
    for (std::size_t first = 0; first < std::size(steps); ++first) {
        Json document = valid;
        for (std::size_t step = std::size(steps); step-- > first;) {
            document.merge_patch(parseJSON(steps[step].patch));
        }
        EXPECT_TRUE(failsToDecode<EventEnvelope>(serializeJSON(document), steps[first].expected))
            << steps[first].patch;
    }
    EXPECT_TRUE(failsToDecode<EventEnvelope>(
        testing::patched(valid, R"({"processID":null,"attribution":"complete"})"),
        {Kind::dataCorrupted, "attribution", attributionSentence}));
}

}  // namespace
}  // namespace quorin
