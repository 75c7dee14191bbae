// Every value type against the JSON layer as a whole: constructed values survive encoding and
// decoding unchanged, and no mutilation of a valid document makes a decoder fail with anything but
// a DecodingError.

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/FileMetadata.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Domain/ProcessIdentity.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"
#include "QuorinCore/Domain/WatchList.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::uuid;

NormalizedPath path(const char* text) {
    return NormalizedPath(text, "/Users/ana");
}

const CodeSigningIdentity developer{CodeSigningStatus::developerID, "com.example.tool",
                                    "AB12CD34EF",
                                    "identifier \"com.example.tool\" and anchor apple generic"};

FileMetadata fullFile() {
    return FileMetadata{
        .id = FileObjectID(uuid("11111111-2222-4333-8444-555555555555")),
        .path = path("/usr/local/bin/tool"),
        .size = UINT64_MAX,
        .ownerID = UINT32_MAX,
        .groupID = 0,
        .mode = 0xFFFF,
        .sha256 = std::string(64, 'f'),
        .isExecutable = true,
        .signing = developer,
        .kind = FileKind::symbolicLink,
        .symlinkTarget = "../Cellar/tool/1.0/bin/tool",
    };
}

FileMetadata minimalFile() {
    return FileMetadata{FileObjectID(uuid("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee")),
                        path("/"),
                        0,
                        0,
                        0,
                        0,
                        {},
                        false,
                        {},
                        {},
                        {}};
}

EventEnvelope fullEvent() {
    return EventEnvelope(EventID(uuid("00000000-0000-4000-8000-000000000001")), UINT64_MAX,
                         Date{-1.5e9}, EventOperation::fileRenamed,
                         ProcessID(uuid("00000000-0000-4000-8000-000000000002")), fullFile(),
                         minimalFile(), path("/Library/LaunchDaemons/com.example.plist"),
                         {path("/a"), path("/b")}, {path("/b")}, AttributionConfidence::correlated,
                         ObservationContext::gapReconciliation);
}

EventEnvelope minimalEvent() {
    return EventEnvelope(EventID(uuid("00000000-0000-4000-8000-000000000003")), {}, Date{0},
                         EventOperation::processExit, {}, {}, {}, {}, {}, {},
                         AttributionConfidence::incomplete);
}

ProtectedPath protectedPath(const char* configured, PathCategory category) {
    return ProtectedPath{ProtectedPathID(uuid("99999999-8888-4777-8666-555555555555")),
                         configured,
                         path(configured),
                         category,
                         true,
                         ContentHistoryPolicy::encryptedVersions};
}

// One named value of some type, with a round trip and a decode of arbitrary JSON.
struct Sample {
    std::string name;
    std::function<::testing::AssertionResult()> survivesRoundTrip;
    std::function<Json()> encoded;
    std::function<void(const Json&)> decode;
};

template <class T>
Sample sample(std::string name, T value) {
    return Sample{
        std::move(name),
        [value] {
            const std::string text = encodeJSONText(value);
            const T decoded = decodeJSONText<T>(text);
            if (!(decoded == value)) {
                return ::testing::AssertionFailure() << "decoded differently from " << text;
            }
            if (encodeJSONText(decoded) != text) {
                return ::testing::AssertionFailure() << "re-encoded differently from " << text;
            }
            return ::testing::AssertionSuccess();
        },
        [value] { return encodeJSON(value); },
        [](const Json& json) { (void)decodeJSON<T>(json); },
    };
}

std::vector<Sample> samples() {
    const ProcessIdentity process{
        .id = ProcessID(uuid("C0FFEE00-0000-4000-8000-000000000001")),
        .pid = INT32_MIN,
        .auditToken = "audit-token-\u00e9\U0001F600",
        .parentID = ProcessID(uuid("C0FFEE00-0000-4000-8000-000000000002")),
        .responsibleID = ProcessID(uuid("C0FFEE00-0000-4000-8000-000000000003")),
        .executablePath = path("/Applications/Tool.app/Contents/MacOS/Tool"),
        .executableSHA256 = std::string(64, '0'),
        .signing = developer,
        .observedAt = Date{817'000'000.000001},
    };
    const AttributionRecord record(
        "/Users/ana/.zshrc", Date{1.0e-3}, AttributionProcess{42, "/bin/zsh", "com.apple.zsh", {}},
        true, {AttributionProcess{1, "/sbin/launchd", {}, "TEAM"}}, EventOperation::fileModified);
    const AttributionRecord bareRecord("relative/as reported", Date{0},
                                       AttributionProcess{-1, "", {}, {}}, false, {}, {});
    return {
        sample("ProcessID", ProcessID(uuid("01234567-89ab-4cde-8f01-23456789abcd"))),
        sample("EventID", EventID(UUID())),
        sample("IncidentID", IncidentID(UUID::random())),
        sample("FileObjectID", FileObjectID(UUID::random())),
        sample("ProtectedPathID", ProtectedPathID(UUID::random())),
        sample("NormalizedPath root", path("/")),
        sample("NormalizedPath home", path("~/.ssh/authorized_keys")),
        sample("CodeSigningIdentity status only",
               CodeSigningIdentity{CodeSigningStatus::unsigned_, {}, {}, {}}),
        sample("CodeSigningIdentity full", developer),
        sample("FileMetadata full", fullFile()),
        sample("FileMetadata minimal", minimalFile()),
        sample("EventEnvelope full", fullEvent()),
        sample("EventEnvelope minimal", minimalEvent()),
        sample("ProcessIdentity", process),
        sample("AttributionRecord", record),
        sample("AttributionRecord bare", bareRecord),
        sample("ProtectedPath", protectedPath("~/.zshrc", PathCategory::shellStartup)),
        sample("WatchListEntry",
               WatchListEntry{protectedPath("/usr/local/bin", PathCategory::executableDirectory),
                              false, true}),
    };
}

TEST(JSONRoundTrip, EveryConstructedValueDecodesToAnEqualValue) {
    for (const Sample& s : samples()) {
        EXPECT_TRUE(s.survivesRoundTrip()) << s.name;
    }
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

TEST(JSONRoundTrip, MutilatedDocumentsFailOnlyWithDecodingErrors) {
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
        const Json original = s.encoded();
        std::size_t placeCount = 0;
        {
            Json counting = original;
            forEachPlace(counting, [&placeCount](Json&) { ++placeCount; });
        }
        for (std::size_t place = 0; place < placeCount; ++place) {
            for (const Json& replacement : replacements) {
                Json mutated = original;
                std::size_t index = 0;
                forEachPlace(mutated, [&](Json& value) {
                    if (index++ == place) {
                        value = replacement;
                    }
                });
                try {
                    s.decode(mutated);
                } catch (const DecodingError&) {
                } catch (const std::exception& error) {
                    ADD_FAILURE() << s.name << ": " << serializeJSON(mutated)
                                  << " escaped as: " << error.what();
                }
            }
        }
        // Removing any one key of the document itself.
        for (const auto& item : original.items()) {
            Json mutated = original;
            mutated.erase(item.key());
            try {
                s.decode(mutated);
            } catch (const DecodingError&) {
            }
        }
    }
}

}  // namespace
}  // namespace quorin
