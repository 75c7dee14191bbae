// The domain types against the JSON layer: each sample decodes and encodes back to exactly its
// text (keys in field order, absent optionals omitted), built as a document or written straight as
// text; in a sample without optional fields every key is required; no mutilation of a sample makes
// a decoder fail with anything but a DecodingError; and each decoder refuses what its type's
// invariants forbid, in a fixed order. The text writer writes any document as the library does.

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Domain/Incident.hpp"
#include "QuorinCore/Domain/ProcessIdentity.hpp"
#include "QuorinCore/Domain/WatchList.hpp"
#include "QuorinCore/Support/JSONTextWriter.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace quorin {
namespace {

using namespace quorin::testing;
using namespace std::string_literals;
using Kind = DecodingError::Kind;

struct Sample {
    std::string text;                                   // a canonical encoding
    bool everyKeyRequired;                              // no optional field is set
    std::function<std::string(const Json&)> reencoded;  // throws what decoding throws
    std::function<std::string(const Json&)> written;    // the same, through the text writer
    std::function<::testing::AssertionResult(const std::string&, const ExpectedDecodingError&)>
        failsToDecode;
};

template <class T>
Sample sample(std::string text, bool everyKeyRequired = false) {
    return {std::move(text), everyKeyRequired,
            [](const Json& json) { return encodeJSONText(decodeJSON<T>(json)); },
            [](const Json& json) {
                std::string written;
                JSONTextWriter(written, JSONCharacters::utf8).write(decodeJSON<T>(json));
                return written;
            },
            [](const std::string& json, const ExpectedDecodingError& expected) {
                return testing::failsToDecode<T>(json, expected);
            }};
}

const std::string minimalFile =
    R"({"id":{"value":"00000000-0000-4000-8000-000000000002"},"path":{"value":"/"},"size":0,)"
    R"("ownerID":0,"groupID":0,"mode":0,"isExecutable":false})";
const std::string protectedPathText =
    R"({"id":{"value":"00000000-0000-4000-8000-000000000007"},"configuredPath":"~/.ssh",)"
    R"("normalizedPath":{"value":"/home/ana/.ssh"},"category":"ssh","recursive":true,)"
    R"("contentPolicy":"metadataOnly"})";
const std::string process =
    R"({"id":{"value":"00000000-0000-4000-8000-000000000005"},"pid":-2147483648,)"
    R"("auditToken":"token","parentID":{"value":"00000000-0000-4000-8000-000000000006"},)"
    R"("responsibleID":{"value":"00000000-0000-4000-8000-000000000007"},)"
    R"("executablePath":{"value":"/bin/zsh"},"executableSHA256":"ab12",)"
    R"("signing":{"status":"platform"},"observedAt":0.25})";

// An incident with two events at 10 and 20, open until 50.
const std::string validIncident =
    R"({"id":{"value":"00000000-0000-4000-8000-000000000900"},"startedAt":10.0,"lastEventAt":20.0,)"
    R"("openUntil":50.0,"events":[{"id":{"value":"00000000-0000-4000-8000-000000000001"},)"
    R"("sequence":1,"observedAt":10.0,"operation":"fileModified","referencedExecutables":[],)"
    R"("attribution":"incomplete"},{"id":{"value":"00000000-0000-4000-8000-000000000002"},)"
    R"("sequence":2,"observedAt":20.0,"operation":"fileModified","referencedExecutables":[],)"
    R"("attribution":"incomplete"}],"summary":"Protected-path activity","assessment":)"
    R"({"score":20,"severity":"low","factors":["privilegedPath"]},"state":"open"})";

// Every integer field holds the largest or smallest value of its type in one of the samples. The
// record keeps the reported path text as it is, normalized or not; an ordinary observation
// context is not written.
std::vector<Sample> samples() {
    return {
        sample<FileMetadata>(minimalFile, true),
        sample<EventEnvelope>(
            R"({"id":{"value":"00000000-0000-4000-8000-000000000003"},)"
            R"("sequence":18446744073709551615,"observedAt":-0.5,"operation":"fileRenamed",)"
            R"("processID":{"value":"00000000-0000-4000-8000-000000000004"},"file":{"id":)"
            R"({"value":"00000000-0000-4000-8000-000000000001"},"path":{"value":"/usr/local/bin/)"
            R"(tool"},"size":18446744073709551615,"ownerID":4294967295,"groupID":20,"mode":65535,)"
            R"("sha256":"ab12","isExecutable":true,"signing":{"status":"developerID",)"
            R"("signingIdentifier":"com.example.tool","teamID":"TEAM","designatedRequirement":)"
            R"("identifier \"com.example.tool\""},"kind":"symbolicLink","symlinkTarget":)"
            R"("../Cellar/tool"},"previousFile":)" +
            minimalFile +
            R"(,"destinationPath":{"value":"/opt/tool"},"referencedExecutables":[{"value":"/a"},)"
            R"({"value":"/b"}],"addedReferencedExecutables":[{"value":"/b"}],)"
            R"("attribution":"correlated","observationContext":"gapReconciliation"})"),
        sample<EventEnvelope>(
            R"({"id":{"value":"00000000-0000-4000-8000-000000000003"},"observedAt":12.5,)"
            R"("operation":"processExit","referencedExecutables":[],"attribution":"incomplete"})",
            true),
        sample<ProcessIdentity>(process),
        sample<ProcessIdentity>(
            patched(parseJSON(process),
                    R"({"parentID":null,"responsibleID":null,"executableSHA256":null})"),
            true),
        sample<AttributionRecord>(
            R"({"path":"relative//path/","timestamp":1.25,"operation":"fileModified","writer":)"
            R"({"pid":2147483647,"executablePath":"/bin/zsh","signingID":"com.example.zsh",)"
            R"("teamID":"TEAM"},"isPlatformBinary":true,"ancestry":[{"pid":1,"executablePath":)"
            R"("/sbin/launchd"}],"kind":"directory"})"),
        sample<AttributionRecord>(
            R"({"path":"/tmp/a","timestamp":-1.5,"writer":{"pid":-1,"executablePath":""},)"
            R"("isPlatformBinary":false,"ancestry":[]})",
            true),
        sample<WatchListEntry>(
            R"({"protectedPath":)" + protectedPathText + R"(,"enabled":false,"isDefault":true})",
            true),
        sample<ProtectedPath>(protectedPathText, true),
        sample<RiskAssessment>(
            R"({"score":55,"severity":"medium","factors":["unsignedExecutable"]})", true),
        sample<Incident>(
            patched(parseJSON(validIncident), R"({"state":"resolved","userDecision":"blocked"})")),
    };
}

// The pointer of every place in `json`: the document itself, each member and each element.
std::vector<Json::json_pointer> places(const Json& json,
                                       const Json::json_pointer& at = Json::json_pointer()) {
    std::vector<Json::json_pointer> result{at};
    if (json.is_structured()) {
        for (const auto& item : json.items()) {
            const auto inner = places(item.value(), at / item.key());
            result.insert(result.end(), inner.begin(), inner.end());
        }
    }
    return result;
}

TEST(JSONForms, SamplesRoundTripRequireTheirKeysAndFailOnlyWithDecodingErrorsWhenMutilated) {
    const Json replacements = parseJSON(
        R"([null,{},[],true,-1,1.5,18446744073709551615,1.8446744073709552e19,"","/a/../b",)"
        R"("relative","E621E1F8-C36C-495A-93FC-0C247A3E6E5F","PLATFORM",{"value":"/"},[null]])");
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.text);
        const Json original = parseJSON(s.text);
        EXPECT_EQ(s.reencoded(original), s.text);
        EXPECT_EQ(s.written(original), s.text);
        const Json required = s.everyKeyRequired ? original : Json::object();
        for (const auto& item : required.items()) {
            Json document = original;
            document.erase(item.key());
            EXPECT_TRUE(
                s.failsToDecode(serializeJSON(document), {Kind::keyNotFound, item.key(), ""}));
        }
        for (const Json::json_pointer& place : places(original)) {
            for (const Json& replacement : replacements) {
                Json mutated = original;
                mutated[place] = replacement;
                try {
                    (void)s.reencoded(mutated);
                } catch (const DecodingError&) {
                } catch (const std::exception& error) {
                    ADD_FAILURE() << serializeJSON(mutated) << ": " << error.what();
                }
            }
        }
    }
}

TEST(JSONDecoding, RefusesWhatTheTypesForbid) {
    using Check = ::testing::AssertionResult (*)(std::string_view, const ExpectedDecodingError&);
    const Json valid = parseJSON(validIncident);
    const std::string first = serializeJSON(valid["events"][0]);
    const std::string second = serializeJSON(valid["events"][1]);
    const std::string laterFirst = patched(valid["events"][0], R"({"observedAt":30})");
    const auto incident = [&](const std::string& patch) { return patched(valid, patch); };
    const auto file = [](const std::string& patch) {
        return patched(parseJSON(minimalFile), patch);
    };
    const auto risk = [](const char* score, const char* severity) {
        return R"({"score":)"s + score + R"(,"severity":")" + severity +
               R"(","factors":["explicitTrust","explicitTrust"]})";
    };
    // An envelope breaking each invariant of its own and every one checked after it, missing the
    // identity key that is read after them.
    const auto envelope = [](const char* patch) {
        return patched(parseJSON(R"({"observedAt":1,"operation":"fileModified","processID":)"
                                 R"({"value":"00000000-0000-4000-8000-000000000004"},)"
                                 R"("referencedExecutables":[{"value":"/a"},{"value":"/a"}],)"
                                 R"("addedReferencedExecutables":[{"value":"/c"},{"value":"/c"}],)"
                                 R"("attribution":"complete"})"),
                       patch);
    };
    const std::string range = "Risk score must be between 0 and 100.";
    const struct {
        Check fails;
        std::string json;
        std::string key;
        std::string sentence;
        Kind kind = Kind::dataCorrupted;
        // clang-format off
    } cases[] = {
        // One past the widest value of each integer width.
        {failsToDecode<FileMetadata>, file(R"({"size":-1})"), "size", "Number -1 does not fit in UInt64."},
        {failsToDecode<FileMetadata>, file(R"({"ownerID":4294967296})"), "ownerID", "Number 4294967296 does not fit in UInt32."},
        {failsToDecode<FileMetadata>, file(R"({"mode":65536})"), "mode", "Number 65536 does not fit in UInt16."},
        {failsToDecode<ProcessIdentity>, patched(parseJSON(process), R"({"pid":-2147483649})"), "pid", "Number -2147483649 does not fit in Int32."},
        // Identifiers and paths are objects, a record's kind is text; paths are absolute, then canonical.
        {failsToDecode<EventID>, R"("9F2C7A4E-1B3D-4C5E-8F60-718293A4B5C6")", "<root>", "", Kind::typeMismatch},
        {failsToDecode<AttributionRecord>, R"({"path":"/a","timestamp":0,"writer":{"pid":1,"executablePath":""},"isPlatformBinary":false,"ancestry":[],"kind":1})", "kind", "", Kind::typeMismatch},
        {failsToDecode<NormalizedPath>, R"({"value":"relative"})", "value", "NormalizedPath requires an absolute path."},
        {failsToDecode<NormalizedPath>, R"({"value":"/a/b/"})", "value", "NormalizedPath requires a canonical path."},
        {failsToDecode<EventEnvelope>, envelope(R"({"processID":null})"), "attribution", "Complete attribution requires an attributed process."},
        {failsToDecode<EventEnvelope>, envelope("{}"), "referencedExecutables", "Referenced executables must not contain duplicates."},
        {failsToDecode<EventEnvelope>, envelope(R"({"referencedExecutables":[{"value":"/a"}]})"), "addedReferencedExecutables", "Added referenced executables must not contain duplicates."},
        {failsToDecode<EventEnvelope>, envelope(R"({"referencedExecutables":[],"addedReferencedExecutables":[{"value":"/c"}]})"), "addedReferencedExecutables", "Added referenced executables must be referenced executables."},
        // What the constructor would repair, in order.
        {failsToDecode<RiskAssessment>, R"({"score":101,"severity":"high","factors":[]})", "score", range},
        {failsToDecode<RiskAssessment>, risk("-1", "medium"), "score", range},
        {failsToDecode<RiskAssessment>, risk("55", "high"), "severity", "Risk severity must match the persisted score."},
        {failsToDecode<RiskAssessment>, risk("55", "medium"), "factors", "Risk factors must not contain duplicates."},
        // The incident's invariants in their documented order: duplicates before order, order
        // before the start check, the lifecycle checks before the identity keys are read.
        {failsToDecode<Incident>, incident(R"({"events":[]})"), "events", "An incident must contain at least one event."},
        {failsToDecode<Incident>, incident(R"({"startedAt":99,"events":[)" + laterFirst + "," + second + "," + second + "]}"), "events", "Incident event IDs must be unique."},
        {failsToDecode<Incident>, incident(R"({"startedAt":99,"id":null,"events":[)" + laterFirst + "," + second + "]}"), "events", "Incident events must be chronological."},
        {failsToDecode<Incident>, incident(R"({"startedAt":11})"), "startedAt", "Incident start must match its first event."},
        {failsToDecode<Incident>, incident(R"({"startedAt":10,"events":[)" + first + "]}"), "lastEventAt", "Incident end must match its last event."},
        {failsToDecode<Incident>, incident(R"({"openUntil":19.5})"), "openUntil", "Incident window must not end before its last event."},
        {failsToDecode<Incident>, incident(R"({"userDecision":"trusted"})"), "userDecision", "An open incident cannot have a user decision."},
        {failsToDecode<Incident>, incident(R"({"state":"resolved","id":"not an identifier"})"), "userDecision", "A resolved incident requires a user decision."},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_TRUE(c.fails(c.json, {c.kind, c.key, c.sentence})) << c.json;
    }
    // JSON text cannot carry an infinite number, but a document built in memory can; the dates
    // are checked first.
    Json infinite = valid;
    infinite["events"] = Json::array();
    infinite["openUntil"] = std::numeric_limits<double>::infinity();
    try {
        (void)decodeJSON<Incident>(infinite);
        ADD_FAILURE() << "decoded an infinite date";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.description(), "Incident dates must be finite.");
        EXPECT_EQ(describe(error.codingPath()), "events");
    }
}

// Every kind of value, each character class of strings, and ill-formed UTF-8 of each shape (a
// lone continuation, a sequence cut short at the end or by another byte, overlong forms, encoded
// surrogates, code points past U+10FFFF, bytes no sequence starts with), after an escape too.
TEST(JSONTextWriter, WritesWhatTheLibrarySerializerWrites) {
    const double infinity = std::numeric_limits<double>::infinity();
    // clang-format off
    const std::vector<Json> values = {
        "", "plain /path", std::string("\0\b\t\n\f\r\x01\x1F\"\\\x7F", 12),
        "\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF \xE2\x80\xAE",
        "\xF0\x90\x80\x80 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF",
        "\x80", "a\xBF" "b", "\xE2\x82", "x\xF0\x9F\x98", "\xE2\x28\xA1", "\xC0\xAF", "\xC1\xBF",
        "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\xFF", "\n\"\xFE",
        0.0, -0.0, 1.0, -2.0, 100.0, 1e15, 1e16, 1e21, 0.1, 1.5e-7, 1e300, 5e-324,
        std::numeric_limits<double>::max(), 736334045.5, 817000000.1234568, infinity, -infinity,
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::uint64_t>::max(), -1,
        true, false, nullptr, Json::object(), Json::array(),
        Json{{"k\x01\xFF", {Json::object(), Json::array({Json::array(), 1})}}, {"\xC3\xA9", "\xC3"}},
    };
    // clang-format on
    for (const Json& value : values) {
        for (const bool asciiOnly : {false, true}) {
            std::string text;
            JSONTextWriter(text, asciiOnly ? JSONCharacters::asciiOnly : JSONCharacters::utf8)
                .writeTree(value);
            EXPECT_EQ(text, value.dump(-1, ' ', asciiOnly, Json::error_handler_t::replace))
                << value.dump(-1, ' ', true, Json::error_handler_t::replace);
        }
    }
}

}  // namespace
}  // namespace quorin
