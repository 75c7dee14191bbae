// Throughput of the byte-level gate of a replay fixture over a fixture near the 10 MiB cap. The
// fixture uses every key of the format and stays within the member and value budgets, which at
// this size means long paths and reference lists, as a build tree's recording would have.

#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"
#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/UUID.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quorin {
namespace {

constexpr std::size_t targetBytes = 10'000'000;  // below the cap, leaving room for the last event
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

// Deep project paths, some of them outside ASCII, as a developer's home holds them.
std::string projectPath(std::uint64_t number) {
    static const std::array<std::string, 4> folders = {
        "~/Projects/quorin-sample-workspace/packages/module-",
        "/Users/ana/Library/Application Support/Code/User/workspaceStorage/ext-",
        "~/Documents/R\u00E9sum\u00E9s et lettres/\u65E5\u672C\u8A9E/draft-",
        "/usr/local/Cellar/toolchain/14.0.6/libexec/bin/generated-",
    };
    return jsonText(folders[number % folders.size()] + std::to_string(number) +
                    "/src/components/shared/internal/implementation-detail-" +
                    std::to_string(number % 97) + ".sh");
}

std::string protectedPath(std::uint32_t number) {
    return "{\"id\":" + uuidText(1, number) + ",\"path\":\"~/.config/tool-" +
           std::to_string(number) +
           "\",\"category\":\"custom\",\"recursive\":true,\"contentPolicy\":\"metadataOnly\"}";
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

std::string makeFixture() {
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

}  // namespace
}  // namespace quorin
