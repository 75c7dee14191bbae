#include "QuorinCore/Correlation/IncidentCorrelator.hpp"

#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::numberedUUID;

const auto pid = [](unsigned number) { return ProcessID(numberedUUID(number)); };
const auto eid = [](unsigned number) { return EventID(numberedUUID(number)); };
// The id of the incident that the event numbered `number` opened.
const auto incidentOf = [](unsigned number) { return IncidentID(numberedUUID(number)); };

ProcessIdentity process(unsigned number, std::optional<unsigned> parent = std::nullopt) {
    const CodeSigningIdentity code{CodeSigningStatus::unsigned_, {}, {}, {}};
    const std::optional<ProcessID> parentID = parent ? std::optional(pid(*parent)) : std::nullopt;
    // clang-format off
    return {pid(number), static_cast<std::int32_t>(number), "", parentID, std::nullopt, NormalizedPath("/bin/sh", "/"), std::nullopt, code, Date{0}};
    // clang-format on
}

FileMetadata file(unsigned object, const char* path = "/etc/hosts",
                  std::optional<std::string> sha256 = std::nullopt, bool isExecutable = false) {
    FileMetadata result = testing::minimalFile();
    result.id = FileObjectID(numberedUUID(object));
    result.path = NormalizedPath(path, "/");
    result.sha256 = std::move(sha256);
    result.isExecutable = isExecutable;
    return result;
}

struct Sample {
    unsigned number;
    double at;
    std::optional<unsigned> process = std::nullopt;
    std::optional<FileMetadata> file = std::nullopt;
    EventOperation operation = EventOperation::fileModified;
    std::optional<std::uint64_t> sequence = std::nullopt;
    std::vector<NormalizedPath> referenced = {};
    std::optional<NormalizedPath> destination = std::nullopt;
};

EventEnvelope event(const Sample& sample) {
    const std::optional<ProcessID> process =
        sample.process ? std::optional(pid(*sample.process)) : std::nullopt;
    // clang-format off
    return EventEnvelope(eid(sample.number), sample.sequence, Date{sample.at}, sample.operation, process, sample.file, std::nullopt, sample.destination, sample.referenced, {}, AttributionConfidence::complete);
    // clang-format on
}

/// Runs `action` and returns what it threw, if anything.
template <typename Action>
std::optional<IncidentCorrelationError> refusalOf(Action&& action) {
    try {
        action();
    } catch (const IncidentCorrelationError& refusal) {
        return refusal;
    }
    return std::nullopt;
}

/// A correlator with the replay analyzer's windows (60 s, then 30 s per joining event) and a graph
/// of `processes`.
struct Correlation {
    ProcessGraph graph;
    IncidentCorrelator correlator{60, 30};

    Correlation(const std::vector<ProcessIdentity>& processes = {}) {
        for (const ProcessIdentity& registered : processes) {
            graph.register_(registered);
        }
    }

    IncidentID ingest(const Sample& sample) { return correlator.ingest(event(sample), graph); }

    /// Every incident as it stands at `at`, without touching the correlator itself.
    std::vector<Incident> at(double time) const {
        return IncidentCorrelator(correlator).snapshot(Date{time});
    }
};

// The first event, at 100 by a child of process 1, opens an incident until 160; a joining event
// moves that end to its own time plus 30 only when this is later. At the very end an event still
// joins; a moment after it, it opens a new incident and the first one is closed.
TEST(IncidentCorrelator, AnEventOfTheSameTreeJoinsUpToTheWindowsEndWhichOnlyGrows) {
    for (const auto& [secondAt, openUntil] : {std::pair{150.0, 180.0}, std::pair{110.0, 160.0}}) {
        SCOPED_TRACE(secondAt);
        Correlation c{{process(1), process(2, 1)}};
        EXPECT_EQ(c.ingest({10, 100, 2, file(1)}), incidentOf(10));
        EXPECT_EQ(c.at(100).at(0).rootProcessID(), pid(1));
        EXPECT_EQ(c.at(100).at(0).openUntil(), Date{160});
        EXPECT_EQ(c.ingest({11, secondAt, 1}), incidentOf(10));
        EXPECT_EQ(c.at(secondAt).at(0).openUntil(), Date{openUntil});

        Correlation late = c;
        const double after = std::nextafter(openUntil, 1e9);
        EXPECT_EQ(late.ingest({12, after, 1}), incidentOf(12));
        EXPECT_EQ(late.at(after).at(0).state(), IncidentState::closed);
        EXPECT_EQ(c.ingest({12, openUntil, 2}), incidentOf(10));
    }
}

// Each sample goes to the incident opened by the sample numbered as given; the processes listed as
// known later are registered after the first sample; the incidents listed as ambiguous got
// conflicting evidence and have no root. The root, where given, is that of the first incident.
TEST(IncidentCorrelator, EvidenceChoosesTheIncidentAnEventJoins) {
    using enum EventOperation;
    // 40 processes numbered 100 + 7i mod 40, each the parent of the one before; the last one's
    // parent is the eleventh. The smallest of all (100) is outside the cycle, whose smallest is
    // 101.
    std::vector<ProcessIdentity> longChain;
    for (unsigned index = 0; index < 40; ++index) {
        const unsigned next = index + 1 < 40 ? index + 1 : 10;
        longChain.push_back(process(100 + index * 7 % 40, 100 + next * 7 % 40));
    }
    const auto twice = [](unsigned writer) {
        return std::vector<std::pair<Sample, unsigned>>{{{1, 0, writer}, 1}, {{2, 1, writer}, 1}};
    };
    const auto exe = [](unsigned object, std::optional<std::string> digest) {
        return file(object, "/opt/t", std::move(digest), true);
    };
    const auto run = [&exe](std::optional<std::string> digest) {
        return Sample{9, 1, 5, exe(2, std::move(digest)), processExec};
    };
    const NormalizedPath t("/opt/t", "/");
    const std::vector<NormalizedPath> x{NormalizedPath("/opt/x", "/")};
    const std::vector<ProcessIdentity> unrelated{process(1), process(5)},
        later{process(1), process(2, 1)};
    const struct {
        std::vector<ProcessIdentity> processes;
        std::vector<std::pair<Sample, unsigned>> steps;
        std::vector<unsigned> ambiguous{};
        std::optional<unsigned> root{};
        std::vector<ProcessIdentity> knownLater{};
    } cases[] = {
        // clang-format off
        // The writer's root is the top of its chain or the smallest member of the cycle the chain
        // runs into; the writer itself is in the context too, so its next event joins.
        {{}, twice(99), {}, 99},  // unregistered
        {{process(1), process(2, 1), process(3, 2)}, twice(3), {}, 1},
        {{process(1, 3), process(3, 2), process(2, 3)}, twice(1), {}, 2},  // entering the cycle at 3
        {longChain, twice(100), {}, 101},
        // A joining event whose chain passes through the root raises it: process 2 was its own
        // root until its parent became known; process 3 is tied only through the file.
        {{process(3)}, {{{1, 0, 2, file(1)}, 1}, {{2, 1, 2}, 1}}, {}, 1, later},
        {{process(3)}, {{{1, 0, 2, file(1)}, 1}, {{2, 1, 3, file(1)}, 1}}, {}, 2, later},
        // An execution joins the incident that wrote what it runs (by digest, when both are
        // known), or that renamed to or referenced its path.
        {unrelated, {{{1, 0, 1, exe(1, "aa")}, 1}, {run("aa"), 1}}},
        {unrelated, {{{1, 0, 1, exe(1, "aa")}, 1}, {run("bb"), 9}}},
        {unrelated, {{{1, 0, 1, exe(1, "aa")}, 1}, {{2, 0, 1, exe(1, "cc")}, 1}, {run("cc"), 1}}},
        {unrelated, {{{1, 0, 1, exe(1, {})}, 1}, {run("bb"), 1}}},
        {unrelated, {{{1, 0, 1, file(1, "/tmp/t", {}, true), fileRenamed, {}, {}, t}, 1}, {run({}), 1}}},
        {unrelated, {{{1, 0, 1, file(1, "/etc/rc"), fileModified, {}, {t}}, 1}, {run({}), 1}}},
        // Tied to incident 1 by the process tree and to incident 2 by the file.
        {{process(1), process(2, 1), process(3)}, {{{1, 0, 1, file(1)}, 1}, {{2, 1, 3, file(2)}, 2}, {{3, 2, 2, file(2)}, 3}, {{4, 3, 1, file(2)}, 3}, {{5, 4, 2, file(2), fileDeleted}, 5}}, {3, 5}},
        // Agreeing evidence narrows the choice: by process tree and file, then by file object
        // among the incidents linking /opt/x; nothing narrows a reference alone.
        {{process(1), process(2)}, {{{1, 0, 1, file(1), fileModified, {}, x}, 1}, {{2, 1, 2, file(2)}, 2}, {{3, 2, 2, file(2), fileModified, {}, x}, 2}, {{4, 3, 8, file(2), fileModified, {}, x}, 2}, {{5, 4, 9, {}, fileModified, {}, x}, 5}}, {5}},
        // clang-format on
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(&row - cases);
        Correlation c{row.processes};
        for (const auto& [sample, opener] : row.steps) {
            EXPECT_EQ(c.ingest(sample), incidentOf(opener)) << sample.number;
            for (const ProcessIdentity& known : row.knownLater) {
                if (sample.number == 1) {
                    c.graph.register_(known);
                }
            }
        }
        const auto incidents = c.at(row.steps.back().first.at);
        if (row.root) {
            EXPECT_EQ(incidents.at(0).rootProcessID(), pid(*row.root));
        }
        for (const Incident& incident : incidents) {
            const bool ambiguous = std::ranges::any_of(
                row.ambiguous, [&incident](unsigned n) { return incident.id() == incidentOf(n); });
            EXPECT_EQ(incident.summary(),
                      ambiguous ? "Ambiguous protected-path activity" : "Protected-path activity");
            EXPECT_EQ(incident.rootProcessID() == std::nullopt, ambiguous);
        }
    }
}

// A refused event or snapshot changes nothing: neither the stream's time nor the accepted ids
// (probed with a new event at the latest time), nor any incident.
TEST(IncidentCorrelator, RefusedEventsAndSnapshotsChangeNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    using Error = IncidentCorrelationError;
    constexpr unsigned snapshot = 0, finalize = 1000;
    // Events by number, snapshots and finalizing; all steps but the last are accepted.
    const struct {
        std::vector<std::pair<unsigned, double>> steps;
        Error expected;
    } cases[] = {
        {{{7, 9}}, Error::outOfOrderEvent()},
        {{{2, 11}}, Error::duplicateEventID(eid(2))},
        {{{2, 5}}, Error::outOfOrderEvent()},
        {{{2, inf}}, Error::invalidTimestamp()},
        {{{snapshot, nan}}, Error::invalidTimestamp()},
        {{{snapshot, 9.5}}, Error::outOfOrderEvent()},
        {{{snapshot, 111}, {3, 110}}, Error::outOfOrderEvent()},  // a snapshot moves the time
        // Finalizing restarts the stream's time but not the accepted ids.
        {{{finalize, 0}, {4, 0}, {1, 30}}, Error::duplicateEventID(eid(1))},
    };
    Correlation base{{process(1)}};
    base.ingest({1, 0, 1, file(1)});
    base.ingest({2, 10, 1});
    const auto observed = [&base](IncidentCorrelator correlator) {
        const auto probe = refusalOf([&] { correlator.ingest(event({7, 10, 1}), base.graph); });
        return (probe ? probe->what() : "accepted") + encodeJSONText(correlator.finalizeAll());
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(&row - cases);
        IncidentCorrelator copy = base.correlator;
        // clang-format off
        const auto run = [&copy, &base](const std::pair<unsigned, double>& step) {
            step.first == snapshot ? (void)copy.snapshot(Date{step.second})
                : step.first == finalize ? (void)copy.finalizeAll()
                : (void)copy.ingest(event({step.first, step.second, 1}), base.graph);
        };
        // clang-format on
        std::for_each(row.steps.begin(), row.steps.end() - 1, run);
        const std::string before = observed(copy);
        EXPECT_EQ(refusalOf([&] { run(row.steps.back()); }), row.expected);
        EXPECT_EQ(observed(copy), before);
    }
}

// Incident 20 adopts a resolution whose first event is that of incident 30; an unknown incident
// and an unsettled one are not adopted.
TEST(IncidentCorrelator, IncidentsComeOutByStartThenFirstSequenceThenFirstEventThenOwnID) {
    Correlation c{{process(10), process(20), process(25), process(30), process(40), process(50)}};
    // Unrelated processes at one time, arriving in an order that differs from the output's.
    // clang-format off
    for (const auto& [number, at, sequence] : {std::tuple{30u, 5.0, std::optional<std::uint64_t>()}, {40u, 5.0, 7u}, {25u, 5.0, std::nullopt}, {20u, 5.0, std::nullopt}, {50u, 5.0, 3u}, {10u, 6.0, 1u}}) {
        c.ingest({.number = number, .at = at, .process = number, .sequence = sequence});
    }
    // clang-format on
    Incident adopted(incidentOf(20), std::nullopt, event({30, 5, 30}), 60);
    adopted.resolve(UserDecision::blocked);
    Incident stranger(incidentOf(8), std::nullopt, event({8, 5, 30}), 60);
    stranger.resolve(UserDecision::trusted);
    for (const Incident& offered :
         {adopted, stranger, Incident(incidentOf(25), std::nullopt, event({30, 5, 30}), 60)}) {
        c.correlator.adoptResolvedIncident(offered);
    }
    EXPECT_EQ(c.at(6).at(3), adopted);
    // No longer open: process 20's next event opens an incident of its own.
    EXPECT_EQ(c.ingest({21, 6, 20}), incidentOf(21));
    std::vector<IncidentID> order;
    for (const Incident& incident : c.correlator.finalizeAll()) {
        order.push_back(incident.id());
    }
    EXPECT_EQ(order, (std::vector{incidentOf(50), incidentOf(40), incidentOf(25), incidentOf(20),
                                  incidentOf(30), incidentOf(10), incidentOf(21)}));
    // Finalizing closed everything; nothing closed reopens, even at an earlier time.
    EXPECT_EQ(c.ingest({60, 5, 30}), incidentOf(60));
}

TEST(IncidentCorrelator, LateAttributionSetsTheRootOfAnOpenIncidentOnly) {
    Correlation c{{process(1), process(2, 1)}};
    // clang-format off
    const auto attributed = [](unsigned number, double at, unsigned object) { return event({number, at, std::nullopt, file(object)}).attributed(pid(2), AttributionConfidence::complete); };
    // clang-format on
    c.ingest({1, 0, std::nullopt, file(1)});
    c.ingest({2, 100, std::nullopt, file(2)});  // closes 1
    c.ingest({3, 100, std::nullopt, file(3)});
    const std::string before = encodeJSONText(c.at(100));
    // Closed, unknown, and an event that is not the one the incident holds.
    // clang-format off
    for (const auto& [attributing, incident] : {std::pair{attributed(1, 0, 1), incidentOf(1)}, std::pair{attributed(1, 0, 1), incidentOf(9)}, std::pair{attributed(2, 100, 4), incidentOf(2)}}) {
        // clang-format on
        EXPECT_FALSE(c.correlator.attribute(attributing, incident, c.graph).has_value());
        EXPECT_EQ(encodeJSONText(c.at(100)), before);
    }
    const auto updated = c.correlator.attribute(attributed(3, 100, 3), incidentOf(3), c.graph);
    ASSERT_TRUE(updated.has_value());
    EXPECT_EQ(updated->rootProcessID(), pid(1));
    EXPECT_EQ(updated->events().at(0).processID(), pid(2));
    EXPECT_EQ(c.ingest({4, 101, 1}), incidentOf(3));
}

// A pseudo-random stream over a few process trees (one with a cycle) and file objects, with ties
// in time, gaps longer than the windows, unattributed events and executions, gives the same
// closed incidents every time, each event in exactly one of them.
TEST(IncidentCorrelator, AStreamGivesTheSameWellFormedIncidentsEveryTime) {
    using enum EventOperation;
    const EventOperation operations[] = {fileModified, fileCreated, processExec, fileRenamed,
                                         fileDeleted};
    const char* paths[] = {"/opt/bin/a", "/opt/bin/b", "/etc/profile", "/tmp/x"};
    // Three trees of four processes, and a cycle.
    Correlation c{{process(200, 201), process(201, 200)}};
    for (unsigned member = 0; member < 12; ++member) {
        const unsigned root = 100 + member / 4 * 10;
        c.graph.register_(process(root + member % 4, member % 4 == 0
                                                         ? std::nullopt
                                                         : std::optional(root + member % 4 / 2)));
    }
    for (const unsigned seed : {1u, 2u}) {
        std::mt19937 random(seed);
        const auto pick = [&random](unsigned count) {
            return static_cast<unsigned>(random() % count);
        };
        std::vector<EventEnvelope> events;
        double time = 0;
        for (unsigned index = 1; index <= 300; ++index) {
            time += pick(3) == 0 ? 0 : (pick(10) == 0 ? 80 : pick(20));
            const unsigned object = pick(7);  // 6: no file
            const auto digest = pick(3) == 0
                                    ? std::nullopt
                                    : std::optional<std::string>(pick(2) == 0 ? "aa" : "bb");
            // clang-format off
            // A braced list evaluates in order, so the stream depends only on the seed.
            events.push_back(event(Sample{index * 7919 % 100'003, time,
                pick(8) == 0 ? std::nullopt : std::optional(pick(7) == 0 ? 200 + pick(2) : 100 + 10 * pick(3) + pick(4)),
                object < 6 ? std::optional(file(object + 1, paths[object % 4], digest, object < 2)) : std::nullopt,
                operations[pick(5)], pick(4) == 0 ? std::nullopt : std::optional<std::uint64_t>(pick(5)),
                pick(5) == 0 ? std::vector{NormalizedPath(paths[pick(2)], "/")} : std::vector<NormalizedPath>{},
                pick(2) == 0 ? std::optional(NormalizedPath(paths[pick(2)], "/")) : std::nullopt}));
            // clang-format on
        }
        const auto correlated = [&events, &c] {
            IncidentCorrelator correlator(60, 30);
            for (const EventEnvelope& next : events) {
                correlator.ingest(next, c.graph);
            }
            return correlator.finalizeAll();
        };
        const auto incidents = correlated();
        EXPECT_EQ(encodeJSONText(correlated()), encodeJSONText(incidents)) << seed;
        std::size_t eventCount = 0;
        for (const Incident& incident : incidents) {
            eventCount += incident.events().size();
            EXPECT_EQ(incident.state(), IncidentState::closed);
        }
        EXPECT_EQ(eventCount, events.size()) << "every event in exactly one incident";
        EXPECT_GT(events.size(), incidents.size()) << "some events joined";
    }
}

}  // namespace
}  // namespace quorin
