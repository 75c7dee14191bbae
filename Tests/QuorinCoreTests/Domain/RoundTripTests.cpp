// Every value type against the JSON layer as a whole: each sample encodes to exactly its text
// (keys in field order, absent optionals omitted) and decodes back to an equal value; in a sample
// without optional fields every key is required; and no mutilation of a valid document makes a
// decoder fail with anything but a DecodingError.

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Domain/ProcessIdentity.hpp"
#include "QuorinCore/Domain/WatchList.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {
namespace {

using namespace quorin::testing;
using Kind = DecodingError::Kind;

struct Sample {
    std::string name;
    std::string text;       // the exact encoding
    bool everyKeyRequired;  // no optional field is set
    std::function<std::string()> encode;
    std::function<bool(const Json&)> decodesToTheValue;  // throws what decoding throws
    std::function<::testing::AssertionResult(const std::string&, const ExpectedDecodingError&)>
        failsToDecode;
};

template <class T>
Sample sample(std::string name, T value, std::string text, bool everyKeyRequired = false) {
    return Sample{
        std::move(name),
        std::move(text),
        everyKeyRequired,
        [value] { return encodeJSONText(value); },
        [value](const Json& json) { return decodeJSON<T>(json) == value; },
        [](const std::string& json, const ExpectedDecodingError& expected) {
            return testing::failsToDecode<T>(json, expected);
        },
    };
}

std::vector<Sample> samples() {
    const std::string fileText =
        R"({"id":{"value":"00000000-0000-4000-8000-000000000001"},)"
        R"("path":{"value":"/usr/local/bin/tool"},"size":18446744073709551615,)"
        R"("ownerID":4294967295,"groupID":20,"mode":65535,"sha256":"ab12","isExecutable":true,)"
        R"("signing":{"status":"developerID","signingIdentifier":"com.example.tool",)"
        R"("teamID":"TEAM","designatedRequirement":"identifier \"com.example.tool\""},)"
        R"("kind":"symbolicLink","symlinkTarget":"../Cellar/tool"})";
    const std::string minimalFileText =
        R"({"id":{"value":"00000000-0000-4000-8000-000000000002"},"path":{"value":"/"},)"
        R"("size":0,"ownerID":0,"groupID":0,"mode":0,"isExecutable":false})";
    const std::string protectedPathText =
        R"({"id":{"value":"00000000-0000-4000-8000-000000000007"},"configuredPath":"~/.ssh",)"
        R"("normalizedPath":{"value":"/home/ana/.ssh"},"category":"ssh","recursive":true,)"
        R"("contentPolicy":"metadataOnly"})";

    const ProcessIdentity process{ProcessID(numberedUUID(5)),
                                  INT32_MIN,
                                  "token",
                                  ProcessID(numberedUUID(6)),
                                  ProcessID(numberedUUID(7)),
                                  normalized("/bin/zsh"),
                                  "ab12",
                                  CodeSigningIdentity{CodeSigningStatus::platform, {}, {}, {}},
                                  Date{0.25}};
    ProcessIdentity minimalProcess = process;
    minimalProcess.parentID = minimalProcess.responsibleID = std::nullopt;
    minimalProcess.executableSHA256 = std::nullopt;
    const std::string processText =
        R"({"id":{"value":"00000000-0000-4000-8000-000000000005"},"pid":-2147483648,)"
        R"("auditToken":"token","parentID":{"value":"00000000-0000-4000-8000-000000000006"},)"
        R"("responsibleID":{"value":"00000000-0000-4000-8000-000000000007"},)"
        R"("executablePath":{"value":"/bin/zsh"},"executableSHA256":"ab12",)"
        R"("signing":{"status":"platform"},"observedAt":0.25})";
    const std::string minimalProcessText =
        patched(parseJSON(processText),
                R"({"parentID":null,"responsibleID":null,"executableSHA256":null})");

    const ProtectedPath ssh = protectedPath("~/.ssh", 7, true, PathCategory::ssh);
    return {
        sample("ProcessID", ProcessID(uuid("01234567-89ab-4cde-8f01-23456789abcd")),
               R"({"value":"01234567-89AB-4CDE-8F01-23456789ABCD"})", true),
        sample("NormalizedPath", normalized("~/.ssh/\u00fc \u65e5"),
               "{\"value\":\"/home/ana/.ssh/\u00fc \u65e5\"}", true),
        sample("CodeSigningIdentity", CodeSigningIdentity{CodeSigningStatus::unsigned_, {}, {}, {}},
               R"({"status":"unsigned"})", true),
        sample("FileMetadata", fullFile(), fileText),
        sample("FileMetadata minimal", minimalFile(), minimalFileText, true),
        sample("EventEnvelope", fullEvent(),
               R"({"id":{"value":"00000000-0000-4000-8000-000000000003"},)"
               R"("sequence":18446744073709551615,"observedAt":-0.5,"operation":"fileRenamed",)"
               R"("processID":{"value":"00000000-0000-4000-8000-000000000004"},"file":)" +
                   fileText + R"(,"previousFile":)" + minimalFileText +
                   R"(,"destinationPath":{"value":"/opt/tool"},)"
                   R"("referencedExecutables":[{"value":"/a"},{"value":"/b"}],)"
                   R"("addedReferencedExecutables":[{"value":"/b"}],"attribution":"correlated",)"
                   R"("observationContext":"gapReconciliation"})"),
        // Without the context argument the context is ordinary, which is not written.
        sample(
            "EventEnvelope minimal",
            EventEnvelope(EventID(numberedUUID(3)), {}, Date{12.5}, EventOperation::processExit, {},
                          {}, {}, {}, {}, {}, AttributionConfidence::incomplete),
            R"({"id":{"value":"00000000-0000-4000-8000-000000000003"},"observedAt":12.5,)"
            R"("operation":"processExit","referencedExecutables":[],"attribution":"incomplete"})",
            true),
        sample("ProcessIdentity", process, processText),
        sample("ProcessIdentity minimal", minimalProcess, minimalProcessText, true),
        // The record keeps the reported path text as it is, normalized or not.
        sample("AttributionRecord",
               AttributionRecord("relative//path/", Date{1.25},
                                 AttributionProcess{100, "/bin/zsh", "com.example.zsh", "TEAM"},
                                 true, {AttributionProcess{1, "/sbin/launchd", {}, {}}},
                                 EventOperation::fileModified),
               R"({"path":"relative//path/","timestamp":1.25,"operation":"fileModified",)"
               R"("writer":{"pid":100,"executablePath":"/bin/zsh","signingID":"com.example.zsh",)"
               R"("teamID":"TEAM"},"isPlatformBinary":true,)"
               R"("ancestry":[{"pid":1,"executablePath":"/sbin/launchd"}]})"),
        sample("AttributionRecord minimal",
               AttributionRecord("/tmp/a", Date{-1.5}, AttributionProcess{-1, "", {}, {}}, false,
                                 {}, {}),
               R"({"path":"/tmp/a","timestamp":-1.5,"writer":{"pid":-1,"executablePath":""},)"
               R"("isPlatformBinary":false,"ancestry":[]})",
               true),
        sample("ProtectedPath", ssh, protectedPathText, true),
        sample("WatchListEntry", WatchListEntry{ssh, false, true},
               R"({"protectedPath":)" + protectedPathText + R"(,"enabled":false,"isDefault":true})",
               true),
    };
}

Json documentOf(std::string_view name) {
    for (const Sample& s : samples()) {
        if (s.name == name) {
            return parseJSON(s.text);
        }
    }
    throw std::invalid_argument("no sample named " + std::string(name));
}

TEST(JSONForms, EverySampleEncodesToItsTextAndDecodesBackToAnEqualValue) {
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.encode(), s.text);
        EXPECT_TRUE(s.decodesToTheValue(parseJSON(s.text)));
    }
}

TEST(JSONForms, EveryKeyOfASampleWithoutOptionalFieldsIsRequired) {
    for (const Sample& s : samples()) {
        if (!s.everyKeyRequired) {
            continue;
        }
        const Json original = parseJSON(s.text);
        for (const auto& item : original.items()) {
            Json document = original;
            document.erase(item.key());
            EXPECT_TRUE(
                s.failsToDecode(serializeJSON(document), {Kind::keyNotFound, item.key(), ""}))
                << s.name << " without " << item.key();
        }
    }
}

// The raw text of every case in declaration order, each checked to decode back to its case.
template <class E>
std::string caseTexts() {
    std::string texts(EnumerationTexts<E>::typeName);
    for (std::size_t index = 0; index < EnumerationTexts<E>::cases.size(); ++index) {
        const auto value = static_cast<E>(index);
        texts += " " + encodeJSONText(value);
        EXPECT_EQ(decodeJSONText<E>(encodeJSONText(value)), value) << texts;
    }
    return texts;
}

TEST(JSONForms, EnumerationsAreWrittenAsTheirCaseNames) {
    EXPECT_EQ(caseTexts<CodeSigningStatus>(),
              R"(CodeSigningStatus "platform" "developerID" "adHoc" "unsigned")");
    EXPECT_EQ(caseTexts<FileKind>(),
              R"(FileKind "regularFile" "directory" "symbolicLink" "other")");
    EXPECT_EQ(caseTexts<EventOperation>(),
              R"(EventOperation "processExec" "processExit" "fileCreated" "fileModified" )"
              R"("fileRenamed" "fileDeleted" "modeChanged" "ownerChanged" "executionAllowed" )"
              R"("executionDenied")");
    EXPECT_EQ(caseTexts<AttributionConfidence>(),
              R"(AttributionConfidence "complete" "incomplete" "correlated")");
    EXPECT_EQ(caseTexts<ObservationContext>(),
              R"(ObservationContext "ordinary" "gapReconciliation")");
    EXPECT_EQ(caseTexts<PathCategory>(),
              R"(PathCategory "shellStartup" "ssh" "launchAgent" "launchDaemon" )"
              R"("executableDirectory" "custom")");
    EXPECT_EQ(caseTexts<ContentHistoryPolicy>(),
              R"(ContentHistoryPolicy "metadataOnly" "encryptedVersions")");

    std::string alertable;
    for (const auto& [category, text] : EnumerationTexts<PathCategory>::cases) {
        alertable += alwaysAlertable(category) ? std::string(text) + " " : "";
    }
    EXPECT_EQ(alertable, "shellStartup ssh launchAgent launchDaemon ");
}

TEST(JSONForms, IntegerFieldsRejectTheFirstValueBeyondTheirWidth) {
    const struct {
        const char* patch;
        const char* key;
        const char* sentence;
    } fileCases[] = {
        {R"({"size":-1})", "size", "Number -1 does not fit in UInt64."},
        {R"({"ownerID":4294967296})", "ownerID", "Number 4294967296 does not fit in UInt32."},
        {R"({"groupID":-1})", "groupID", "Number -1 does not fit in UInt32."},
        {R"({"mode":65536})", "mode", "Number 65536 does not fit in UInt16."},
    };
    for (const auto& c : fileCases) {
        EXPECT_TRUE(failsToDecode<FileMetadata>(patched(documentOf("FileMetadata"), c.patch),
                                                {Kind::dataCorrupted, c.key, c.sentence}));
    }
    EXPECT_TRUE(failsToDecode<ProcessIdentity>(
        patched(documentOf("ProcessIdentity"), R"({"pid":-2147483649})"),
        {Kind::dataCorrupted, "pid", "Number -2147483649 does not fit in Int32."}));
    EXPECT_TRUE(failsToDecode<AttributionRecord>(
        patched(documentOf("AttributionRecord"), R"({"writer":{"pid":2147483648}})"),
        {Kind::dataCorrupted, "writer.pid", "Number 2147483648 does not fit in Int32."}));
}

// Every place in `json` (the document itself, each member and each element, recursively).
void forEachPlace(Json& json, const std::function<void(Json&)>& visit) {
    visit(json);
    if (json.is_object() || json.is_array()) {
        for (auto& child : json) {
            forEachPlace(child, visit);
        }
    }
}

TEST(JSONForms, MutilatedDocumentsFailOnlyWithDecodingErrors) {
    const std::vector<Json> replacements = {
        nullptr,
        Json::object(),
        Json::array(),
        true,
        -1,
        1.5,
        18446744073709551615ULL,
        1.8446744073709552e19,
        "",
        "/a/../b",
        "relative",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
        "PLATFORM",
        Json{{"value", "/"}},
        Json::array({nullptr}),
    };
    for (const Sample& s : samples()) {
        const Json original = parseJSON(s.text);
        // Removing any one key of the document itself, then each replacement at each place.
        std::vector<Json> mutations;
        for (const auto& item : original.items()) {
            mutations.push_back(original);
            mutations.back().erase(item.key());
        }
        std::size_t placeCount = 0;
        {
            Json counting = original;
            forEachPlace(counting, [&placeCount](Json&) { ++placeCount; });
        }
        for (std::size_t place = 0; place < placeCount; ++place) {
            for (const Json& replacement : replacements) {
                Json& mutated = mutations.emplace_back(original);
                std::size_t index = 0;
                forEachPlace(mutated, [&](Json& value) {
                    if (index++ == place) {
                        value = replacement;
                    }
                });
            }
        }
        for (const Json& mutated : mutations) {
            try {
                (void)s.decodesToTheValue(mutated);
            } catch (const DecodingError&) {
            } catch (const std::exception& error) {
                ADD_FAILURE() << s.name << ": " << serializeJSON(mutated)
                              << " escaped as: " << error.what();
            }
        }
    }
}

}  // namespace
}  // namespace quorin
