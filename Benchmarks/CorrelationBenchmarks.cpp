// Timings of the analysis road: correlating a long event stream into incidents, finalizing, and
// scoring every incident. The stream is made up once per size and reused by every iteration.

#include "QuorinCore/Correlation/IncidentCorrelator.hpp"
#include "QuorinCore/Risk/RiskContext.hpp"
#include "QuorinCore/Risk/RiskScorer.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quorin {
namespace {

constexpr std::uint32_t treeCount = 1'000;
constexpr std::uint32_t processesPerTree = 3;  // a root, its child and its grandchild
constexpr std::uint32_t fileCount = 10'000;
constexpr std::uint32_t filesPerTree = fileCount / treeCount;
constexpr double secondsBetweenEvents = 0.05;

/// A readable, distinct UUID per kind of thing and number.
UUID uuid(std::uint8_t kind, std::uint64_t number) {
    UUID::Bytes bytes{};
    bytes[0] = kind;
    for (std::size_t index = 0; index < 8; ++index) {
        bytes[15 - index] = static_cast<std::uint8_t>(number >> (8 * index));
    }
    return UUID(bytes);
}

ProcessID processID(std::uint32_t number) {
    return ProcessID(uuid(1, number));
}

/// Where file `number` lives: every tenth is an executable in a protected executable directory,
/// a few are launch agents, the rest project files.
FileMetadata fileMetadata(std::uint32_t number, std::uint32_t version) {
    const bool isExecutable = number % 10 == 0;
    std::string path = isExecutable       ? "/usr/local/bin/tool" + std::to_string(number)
                       : number % 10 == 1 ? "/Library/LaunchAgents/agent" + std::to_string(number)
                                          : "/home/ana/projects/file" + std::to_string(number);
    return FileMetadata{
        .id = FileObjectID(uuid(2, number)),
        .path = NormalizedPath(path, "/home/ana"),
        .size = 1'024,
        .ownerID = 501,
        .groupID = 20,
        .mode = static_cast<std::uint16_t>(isExecutable ? 0755 : 0644),
        .sha256 = "digest-" + std::to_string(number) + "-" + std::to_string(version),
        .isExecutable = isExecutable,
        .signing = std::nullopt,
        .kind = FileKind::regularFile,
        .symlinkTarget = std::nullopt,
    };
}

/// Events over 1,000 process trees and 10,000 file objects in time order: each event comes from a
/// random process of a random tree and mostly touches one of that tree's own files, so most
/// events join their tree's incident and some make it ambiguous.
struct EventStream {
    ProcessGraph graph;
    std::vector<EventEnvelope> events;

    explicit EventStream(std::uint32_t eventCount) {
        for (std::uint32_t tree = 0; tree < treeCount; ++tree) {
            std::optional<ProcessID> parent;
            for (std::uint32_t depth = 0; depth < processesPerTree; ++depth) {
                const std::uint32_t number = tree * processesPerTree + depth;
                graph.register_(ProcessIdentity{
                    .id = processID(number),
                    .pid = static_cast<std::int32_t>(number + 100),
                    .auditToken = "",
                    .parentID = parent,
                    .responsibleID = std::nullopt,
                    .executablePath = NormalizedPath("/usr/bin/make", "/"),
                    .executableSHA256 = std::nullopt,
                    .signing = CodeSigningIdentity{CodeSigningStatus::developerID, {}, {}, {}},
                    .observedAt = Date{0},
                });
                parent = processID(number);
            }
        }

        std::mt19937 random(20'240'601);
        const auto pick = [&random](std::uint32_t count) {
            return static_cast<std::uint32_t>(random() % count);
        };
        events.reserve(eventCount);
        for (std::uint32_t index = 0; index < eventCount; ++index) {
            const std::uint32_t tree = pick(treeCount);
            const std::uint32_t file =
                pick(10) == 0 ? pick(fileCount) : tree * filesPerTree + pick(filesPerTree);
            FileMetadata touched = fileMetadata(file, pick(3));
            const EventOperation operation = touched.isExecutable && pick(4) == 0
                                                 ? EventOperation::processExec
                                             : pick(5) == 0 ? EventOperation::fileCreated
                                                            : EventOperation::fileModified;
            events.emplace_back(
                EventID(uuid(3, index)), index, Date{index * secondsBetweenEvents}, operation,
                processID(tree * processesPerTree + pick(processesPerTree)), std::move(touched),
                std::nullopt, std::nullopt, std::vector<NormalizedPath>{},
                std::vector<NormalizedPath>{}, AttributionConfidence::complete);
        }
    }

    static const EventStream& ofSize(std::uint32_t eventCount) {
        static std::map<std::uint32_t, EventStream> streams;
        return streams.try_emplace(eventCount, eventCount).first->second;
    }
};

RiskContext riskContext() {
    const auto entry = [](std::uint8_t number, const char* path, PathCategory category) {
        return ProtectedPath{
            .id = ProtectedPathID(uuid(4, number)),
            .configuredPath = path,
            .normalizedPath = NormalizedPath(path, "/home/ana"),
            .category = category,
            .recursive = true,
            .contentPolicy = ContentHistoryPolicy::metadataOnly,
        };
    };
    return RiskContext({entry(1, "/usr/local/bin", PathCategory::executableDirectory),
                        entry(2, "/Library/LaunchAgents", PathCategory::launchAgent),
                        entry(3, "~/projects", PathCategory::custom)},
                       {processID(0), processID(3)}, {"digest-10-0"}, {},
                       {NormalizedPath("/opt/homebrew/Cellar", "/")});
}

std::vector<Incident> correlate(const EventStream& stream) {
    IncidentCorrelator correlator(60, 30);
    for (const EventEnvelope& event : stream.events) {
        correlator.ingest(event, stream.graph);
    }
    return correlator.finalizeAll();
}

void reportCounts(benchmark::State& state, std::size_t incidentCount) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    state.counters["incidents"] = static_cast<double>(incidentCount);
}

void correlateAndFinalize(benchmark::State& state) {
    const EventStream& stream = EventStream::ofSize(static_cast<std::uint32_t>(state.range(0)));
    std::size_t incidentCount = 0;
    for (auto _ : state) {
        const auto incidents = correlate(stream);
        incidentCount = incidents.size();
        benchmark::DoNotOptimize(incidents.data());
    }
    reportCounts(state, incidentCount);
}

void correlateFinalizeAndScore(benchmark::State& state) {
    const EventStream& stream = EventStream::ofSize(static_cast<std::uint32_t>(state.range(0)));
    const RiskContext context = riskContext();
    const RiskScorer scorer;
    std::size_t incidentCount = 0;
    for (auto _ : state) {
        std::vector<Incident> scored;
        for (Incident& incident : correlate(stream)) {
            const RiskAssessment assessment = scorer.assess(incident, stream.graph, context);
            scored.push_back(scorer.applying(assessment, std::move(incident)));
        }
        incidentCount = scored.size();
        benchmark::DoNotOptimize(scored.data());
    }
    reportCounts(state, incidentCount);
}

BENCHMARK(correlateAndFinalize)
    ->Arg(10'000)
    ->Arg(50'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(correlateFinalizeAndScore)
    ->Arg(10'000)
    ->Arg(50'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorin
