// Throughput of the byte-level gate of a replay fixture over a fixture near the 10 MiB cap, and of
// the whole replay (reading, validation, analysis and the human report) over the worst cases the
// limits allow, each beside a typical fixture of the same size. The typical fixture uses every key
// of the format and stays within the member and value budgets, which at this size means long
// paths and reference lists, as a build tree's recording would have.

#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"
#include "QuorinCore/Replay/ReplayAnalyzer.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/UUID.hpp"
#include "quorin/ReplayCommand.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace quorin {
namespace {

constexpr std::size_t largestTypicalBytes = 10'000'000;  // below the cap, room for the last event
constexpr std::uint32_t processCount = 500;
constexpr std::uint32_t protectedPathCount = 50;
constexpr std::uint32_t referencesPerEvent = 14;
constexpr std::uint32_t addedReferencesPerEvent = 4;

// A distinct, readable UUID text per kind of thing and number.
std::string uuidText(std::uint8_t kind, std::uint64_t number) {
    UUID::Bytes bytes{};
    bytes[0] = kind;
    for (std::size_t index = 0; index < 8; ++index) {
        bytes[15 - index] = static_cast<std::uint8_t>(number >> (8 * index));
    }
    return "\"" + UUID(bytes).uuidString() + "\"";
}

std::string jsonText(const std::string& text) {
    return "\"" + text + "\"";
}

std::string digest(std::uint64_t number) {
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string text;
    std::uint64_t state = number * 0x9E3779B97F4A7C15ULL + 1;
    for (int index = 0; index < 64; ++index) {
        state ^= state >> 29;
        state *= 0xBF58476D1CE4E5B9ULL;
        text += hexDigits[state >> 60];
    }
    return jsonText(text);
}

// The folders of a developer's projects, some of them outside ASCII, each with the name its files
// start with. The typical fixture protects the folders, so that every event touches a protected
// path.
struct ProjectFolder {
    std::string path;
    std::string filePrefix;
};
const std::array<ProjectFolder, 4> projectFolders = {{
    {"~/Projects/quorin-sample-workspace/packages", "module-"},
    {"/Users/ana/Library/Application Support/Code/User/workspaceStorage", "ext-"},
    {"~/Documents/R\u00E9sum\u00E9s et lettres/\u65E5\u672C\u8A9E", "draft-"},
    {"/usr/local/Cellar/toolchain/14.0.6/libexec/bin", "generated-"},
}};

// Deep paths below the project folders.
std::string projectPath(std::uint64_t number) {
    const ProjectFolder& folder = projectFolders[number % projectFolders.size()];
    return jsonText(folder.path + "/" + folder.filePrefix + std::to_string(number) +
                    "/src/components/shared/internal/implementation-detail-" +
                    std::to_string(number % 97) + ".sh");
}

// The first four are the project folders.
std::string protectedPath(std::uint32_t number) {
    const std::string path = number < projectFolders.size()
                                 ? projectFolders[number].path
                                 : "~/.config/tool-" + std::to_string(number);
    return "{\"id\":" + uuidText(1, number) + ",\"path\":" + jsonText(path) +
           ",\"category\":\"custom\",\"recursive\":true,\"contentPolicy\":\"metadataOnly\"}";
}

std::string process(std::uint32_t number) {
    std::string text = "{\"id\":" + uuidText(2, number) +
                       ",\"pid\":" + std::to_string(1000 + number) + ",\"auditToken\":\"token-" +
                       std::to_string(number) + "\"";
    if (number > 0) {
        text += ",\"parentID\":" + uuidText(2, number / 2);
    }
    return text + ",\"executablePath\":\"/usr/bin/tool" + std::to_string(number) +
           "\",\"signingStatus\":\"developerID\",\"recognizedPackageManager\":false," +
           "\"observedAt\":760000000.5}";
}

std::string event(std::uint64_t number) {
    const bool isRename = number % 5 == 0;
    std::string text =
        "{\"id\":" + uuidText(3, number) + ",\"sequence\":" + std::to_string(number + 1) +
        ",\"observedAt\":" + std::to_string(760000001 + number) + ".25" +
        ",\"operation\":" + (isRename ? "\"fileRenamed\"" : "\"fileModified\"") +
        ",\"processID\":" + uuidText(2, number % processCount) +
        ",\"attribution\":\"complete\",\"fileID\":" + uuidText(4, number) +
        ",\"path\":" + projectPath(number) + ",\"size\":" + std::to_string(4096 + number) +
        ",\"ownerID\":501,\"groupID\":20,\"sha256\":" + digest(2 * number) +
        ",\"isExecutable\":true,\"mode\":493,\"signingStatus\":\"adHoc\"";
    if (isRename) {
        text += ",\"destinationPath\":" + projectPath(number + 1);
    }
    text += ",\"previousFile\":{\"id\":" + uuidText(4, number) +
            ",\"path\":" + projectPath(number) + ",\"size\":" + std::to_string(2048 + number) +
            ",\"ownerID\":501,\"groupID\":20,\"mode\":420,\"sha256\":" + digest(2 * number + 1) +
            ",\"isExecutable\":false,\"signingStatus\":\"unsigned\"}";
    text += ",\"referencedExecutables\":[";
    for (std::uint32_t reference = 0; reference < referencesPerEvent; ++reference) {
        text += (reference == 0 ? "" : ",") + projectPath(number * 31 + reference);
    }
    text += "],\"addedReferencedExecutables\":[";
    for (std::uint32_t reference = 0; reference < addedReferencesPerEvent; ++reference) {
        text += (reference == 0 ? "" : ",") + projectPath(number * 31 + reference);
    }
    return text + "]}";
}

std::string makeFixture(std::size_t targetBytes = largestTypicalBytes) {
    std::string fixture = "{\"schemaVersion\":2,\"protectedPaths\":[";
    for (std::uint32_t number = 0; number < protectedPathCount; ++number) {
        fixture += (number == 0 ? "" : ",") + protectedPath(number);
    }
    fixture += "],\"processes\":[";
    for (std::uint32_t number = 0; number < processCount; ++number) {
        fixture += (number == 0 ? "" : ",") + process(number);
    }
    fixture += "],\"events\":[";
    for (std::uint64_t number = 0; fixture.size() < targetBytes; ++number) {
        fixture += (number == 0 ? "" : ",") + event(number);
    }
    return fixture + "]}";
}

void BM_ValidateReplayFixture(benchmark::State& state) {
    static const std::string fixture = makeFixture();
    if (fixture.size() > static_cast<std::size_t>(ReplayFixtureLimits::maximumDataBytes)) {
        state.SkipWithError("the generated fixture exceeds the size limit");
        return;
    }
    try {
        JSONDuplicateKeyValidator::validate(fixture);
    } catch (const ReplayFixtureValidationError& error) {
        state.SkipWithError(error.what());
        return;
    }
    for (auto _ : state) {
        JSONDuplicateKeyValidator::validate(fixture);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fixture.size()));
}
BENCHMARK(BM_ValidateReplayFixture)->Unit(benchmark::kMillisecond);

// Worst cases of the whole replay.

// A root object of as many members as the budget allows, all of them unknown keys of
// `keyLength` bytes, so the replay is refused for the first of them in key order.
std::string manyMembersFixture(std::size_t keyLength) {
    constexpr std::size_t memberCount = ReplayFixtureLimits::maximumJSONObjectMembers - 4;
    std::string fixture = R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[])";
    for (std::size_t number = 0; number < memberCount; ++number) {
        std::string key = "x" + std::to_string(number);
        key.insert(1, keyLength - std::min(keyLength, key.size()), '0');
        fixture += ",\"" + key + "\":0";
    }
    return fixture + "}";
}

// The most protected paths the limits allow, outside ASCII, and the events the member budget
// leaves, each far enough from the last to open an incident of its own on one of the paths.
std::string nonASCIIPathsFixture() {
    constexpr std::uint32_t pathCount = ReplayFixtureLimits::maximumProtectedPaths;
    constexpr std::uint32_t eventCount = 8'500;  // 11 members each, within the budget
    std::string fixture = "{\"schemaVersion\":2,\"protectedPaths\":[";
    for (std::uint32_t number = 0; number < pathCount; ++number) {
        fixture += (number == 0 ? "" : ",") +
                   ("{\"id\":" + uuidText(1, number) +
                    ",\"path\":\"~/Documents/R\u00E9sum\u00E9s/\u65E5\u672C\u8A9E-" +
                    std::to_string(number) +
                    "\",\"category\":\"custom\",\"recursive\":true,"
                    "\"contentPolicy\":\"metadataOnly\"}");
    }
    fixture += "],\"processes\":[{\"id\":" + uuidText(2, 0) +
               ",\"pid\":1000,\"auditToken\":\"t\",\"executablePath\":\"/usr/bin/tool\","
               "\"signingStatus\":\"developerID\",\"observedAt\":0}],\"events\":[";
    for (std::uint32_t number = 0; number < eventCount; ++number) {
        fixture +=
            (number == 0 ? "" : ",") +
            ("{\"id\":" + uuidText(3, number) + ",\"sequence\":" + std::to_string(number + 1) +
             ",\"observedAt\":" + std::to_string(100 * (number + 1)) +
             ",\"operation\":\"fileModified\",\"processID\":" + uuidText(2, 0) +
             ",\"attribution\":\"complete\",\"fileID\":" + uuidText(4, number) +
             ",\"path\":\"~/Documents/R\u00E9sum\u00E9s/\u65E5\u672C\u8A9E-" +
             std::to_string(number % pathCount) + "/lettre-" + std::to_string(number) +
             ".txt\",\"isExecutable\":false,\"mode\":420,"
             "\"referencedExecutables\":[]}");
    }
    return fixture + "]}";
}

// `quorin replay` of the bytes without the file: the human report, or the refusal's message.
std::string replayReport(std::string_view bytes) {
    try {
        const MaterializedReplayFixture materialized =
            ReplayFixture::decode(bytes).materialize("/Users/ana");
        return cli::formatHuman(ReplayAnalyzer().analyze(materialized));
    } catch (const ReplayFixtureValidationError& error) {
        return error.message();
    }
}

// The replay of the fixture `worst` writes, or, when `typical`, of a typical fixture of its size.
void BM_Replay(benchmark::State& state, std::string (*worst)(), bool typical) {
    const std::string fixture = typical ? makeFixture(worst().size()) : worst();
    state.SetLabel(std::to_string(fixture.size()) +
                   " bytes: " + replayReport(fixture).substr(0, 40));
    for (auto _ : state) {
        benchmark::DoNotOptimize(replayReport(fixture));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fixture.size()));
}

std::string manyShortMembers() {
    return manyMembersFixture(1);
}
std::string manyLongMembers() {
    return manyMembersFixture(94);
}

// Each worst case, then a typical fixture of its size.
const bool registered = [] {
    const std::pair<const char*, std::string (*)()> worstCases[] = {
        {"manyMembers", &manyShortMembers},
        {"manyLongKeys", &manyLongMembers},
        {"nonASCIIPaths", &nonASCIIPathsFixture},
    };
    for (const auto& [name, worst] : worstCases) {
        for (const bool typical : {false, true}) {
            benchmark::RegisterBenchmark(
                ("BM_Replay/" + std::string(name) + (typical ? "Typical" : "")).c_str(), BM_Replay,
                worst, typical)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return true;
}();

}  // namespace
}  // namespace quorin
