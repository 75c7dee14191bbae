#include "QuorinCore/Correlation/IncidentCorrelator.hpp"

#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::numberedUUID;

ProcessID pid(unsigned number) {
    return ProcessID(numberedUUID(number));
}

EventID eid(unsigned number) {
    return EventID(numberedUUID(number));
}

/// The id of the incident that the event numbered `number` opened.
IncidentID incidentOf(unsigned number) {
    return IncidentID(numberedUUID(number));
}

ProcessIdentity process(unsigned number, std::optional<unsigned> parent = std::nullopt) {
    return ProcessIdentity{
        pid(number),  static_cast<std::int32_t>(number),
        "",           parent ? std::optional(pid(*parent)) : std::nullopt,
        std::nullopt, NormalizedPath("/bin/sh", "/"),
        std::nullopt, CodeSigningIdentity{CodeSigningStatus::unsigned_, {}, {}, {}},
        Date{0}};
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
    return EventEnvelope(eid(sample.number), sample.sequence, Date{sample.at}, sample.operation,
                         sample.process ? std::optional(pid(*sample.process)) : std::nullopt,
                         sample.file, std::nullopt, sample.destination, sample.referenced, {},
                         AttributionConfidence::complete);
}

const Incident& incidentIn(const std::vector<Incident>& incidents, const IncidentID& id) {
    for (const Incident& incident : incidents) {
        if (incident.id() == id) {
            return incident;
        }
    }
    throw std::out_of_range("no incident " + id.value.uuidString());
}

std::vector<EventID> eventIDsOf(const Incident& incident) {
    std::vector<EventID> ids;
    for (const EventEnvelope& stored : incident.events()) {
        ids.push_back(stored.id());
    }
    return ids;
}

/// A correlator with the replay analyzer's windows (60 s, then 30 s per joining event) and a graph
/// of `processes`.
struct Correlation {
    ProcessGraph graph;
    IncidentCorrelator correlator{60, 30};

    Correlation(std::initializer_list<ProcessIdentity> processes = {}) {
        for (const ProcessIdentity& registered : processes) {
            graph.register_(registered);
        }
    }

    IncidentID ingest(const Sample& sample) { return correlator.ingest(event(sample), graph); }

    /// Every incident as it stands at `at`, without touching the correlator itself.
    std::vector<Incident> at(double time) const {
        IncidentCorrelator copy = correlator;
        return copy.snapshot(Date{time});
    }
};

// The first event, at 100 by a child of process 1, opens an incident until 160; a joining event
// moves that end to its own time plus 30 only when this is later. At the very end an event still
// joins; a moment after it, it opens a new incident and the first one is closed.
TEST(IncidentCorrelator, AnEventOfTheSameTreeJoinsUpToTheWindowsEndWhichOnlyGrows) {
    const struct {
        double secondAt;
        double openUntil;
    } cases[] = {{150, 180}, {110, 160}, {130, 160}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.secondAt);
        Correlation c{process(1), process(2, 1)};
        EXPECT_EQ(c.ingest({10, 100, 2, file(1)}), incidentOf(10));
        const auto incidents = c.at(100);
        ASSERT_EQ(incidents.size(), 1u);
        const Incident& opened = incidents[0];
        EXPECT_EQ(opened.id(), incidentOf(10));
        EXPECT_EQ(eventIDsOf(opened), std::vector{eid(10)});
        EXPECT_EQ(opened.rootProcessID(), pid(1));
        EXPECT_EQ(opened.openUntil(), Date{160});
        EXPECT_EQ(opened.state(), IncidentState::open);

        EXPECT_EQ(c.ingest({11, row.secondAt, 1}), incidentOf(10));
        const Incident joined = c.at(row.secondAt).at(0);
        EXPECT_EQ(eventIDsOf(joined), (std::vector{eid(10), eid(11)}));
        EXPECT_EQ(joined.lastEventAt(), Date{row.secondAt});
        EXPECT_EQ(joined.openUntil(), Date{row.openUntil});

        Correlation late = c;
        const double after = std::nextafter(row.openUntil, 1e9);
        EXPECT_EQ(late.ingest({12, after, 1}), incidentOf(12));
        const auto two = late.at(after);
        ASSERT_EQ(two.size(), 2u);
        EXPECT_EQ(incidentIn(two, incidentOf(10)).state(), IncidentState::closed);
        EXPECT_EQ(incidentIn(two, incidentOf(12)).state(), IncidentState::open);
        EXPECT_EQ(c.ingest({12, row.openUntil, 2}), incidentOf(10));
        EXPECT_EQ(c.at(row.openUntil).size(), 1u);
    }
}

// An execution joins the incident that wrote its file only when it runs what was written (by
// digest, when both are known), or a path the incident renamed to or referenced.
TEST(IncidentCorrelator, AnExecutionJoinsTheIncidentThatWroteOrLinkedWhatItRuns) {
    const auto executable = [](std::optional<std::string> digest, const char* path = "/opt/t") {
        return file(1, path, std::move(digest), true);
    };
    const NormalizedPath linked("/opt/t", "/");
    Sample renamed{1, 0, 1, executable(std::nullopt, "/tmp/t"), EventOperation::fileRenamed};
    renamed.destination = linked;
    Sample referencing{1, 0, 1, file(1, "/etc/rc")};
    referencing.referenced = {linked};
    const struct {
        std::vector<Sample> writing;
        std::optional<std::string> executed;
        bool joins;
    } cases[] = {
        {{{1, 0, 1, executable("aa")}}, "aa", true},
        {{{1, 0, 1, executable("aa")}}, "bb", false},
        {{{1, 0, 1, executable("aa")}, {2, 0, 1, executable("cc")}}, "cc", true},
        {{{1, 0, 1, executable("aa")}}, std::nullopt, true},
        {{{1, 0, 1, executable(std::nullopt)}}, "bb", true},
        {{renamed}, std::nullopt, true},
        {{referencing}, std::nullopt, true},
    };
    for (const auto& row : cases) {
        Correlation c{process(1), process(5)};
        for (const Sample& writing : row.writing) {
            c.ingest(writing);
        }
        const Sample execution{9, 1, 5, file(2, "/opt/t", row.executed, true),
                               EventOperation::processExec};
        EXPECT_EQ(c.ingest(execution), row.joins ? incidentOf(1) : incidentOf(9))
            << row.writing.back().file->path.value() << " " << row.executed.value_or("-");
    }
}

TEST(IncidentCorrelator, ConflictingEvidenceGoesToAnAmbiguousIncidentPerAmbiguity) {
    Correlation c{process(1), process(2, 1), process(3)};
    c.ingest({1, 0, 1, file(1)});
    c.ingest({2, 1, 3, file(2)});
    // Tied to incident 1 by its process tree and to incident 2 by its file.
    EXPECT_EQ(c.ingest({3, 2, 2, file(2)}), incidentOf(3));
    EXPECT_EQ(c.ingest({4, 3, 1, file(2)}), incidentOf(3));
    EXPECT_EQ(c.ingest({5, 4, 2, file(2), EventOperation::fileDeleted}), incidentOf(5));

    const auto incidents = c.at(4);
    ASSERT_EQ(incidents.size(), 4u);
    EXPECT_EQ(eventIDsOf(incidentIn(incidents, incidentOf(1))), std::vector{eid(1)});
    EXPECT_EQ(eventIDsOf(incidentIn(incidents, incidentOf(2))), std::vector{eid(2)});
    for (const unsigned ambiguous : {3u, 5u}) {
        const Incident& incident = incidentIn(incidents, incidentOf(ambiguous));
        EXPECT_EQ(incident.summary(), "Ambiguous protected-path activity");
        EXPECT_EQ(incident.rootProcessID(), std::nullopt);
        EXPECT_EQ(incident.state(), IncidentState::open);
    }
    const Incident& joined = incidentIn(incidents, incidentOf(3));
    EXPECT_EQ(eventIDsOf(joined), (std::vector{eid(3), eid(4)}));
    EXPECT_EQ(joined.openUntil(), Date{62});
}

TEST(IncidentCorrelator, AgreeingEvidenceNarrowsTheChoiceAndDisagreeingEvidenceWidensIt) {
    const std::vector<NormalizedPath> x{NormalizedPath("/opt/x", "/")};
    Correlation c{process(1), process(2)};
    c.ingest({.number = 1, .at = 0, .process = 1, .file = file(1), .referenced = x});
    c.ingest({2, 1, 2, file(2)});
    // Process tree and file name incident 2, the reference incident 1: the process agrees with 2.
    EXPECT_EQ(c.ingest({.number = 3, .at = 2, .process = 2, .file = file(2), .referenced = x}),
              incidentOf(2));
    // Both incidents now link /opt/x; the file object narrows that down to incident 2.
    EXPECT_EQ(c.ingest({.number = 4, .at = 3, .process = 8, .file = file(2), .referenced = x}),
              incidentOf(2));
    // Nothing narrows the reference alone.
    EXPECT_EQ(c.ingest({.number = 5, .at = 4, .process = 9, .referenced = x}), incidentOf(5));
    EXPECT_EQ(incidentIn(c.at(4), incidentOf(5)).summary(), "Ambiguous protected-path activity");
}

// The writer's root is the top of its chain or the smallest member of the cycle the chain runs
// into; the writer itself is in the context too, so its next event joins.
TEST(IncidentCorrelator, TheRootIsTheTopOfTheChainOrTheSmallestMemberOfItsCycle) {
    // 40 processes numbered 100 + 7i mod 40, each the parent of the one before; the last one's
    // parent is the eleventh. The smallest of all (100) is outside the cycle, whose smallest is
    // 101.
    std::vector<ProcessIdentity> longChain;
    for (unsigned index = 0; index < 40; ++index) {
        const unsigned next = index + 1 < 40 ? index + 1 : 10;
        longChain.push_back(process(100 + index * 7 % 40, 100 + next * 7 % 40));
    }
    const struct {
        std::vector<ProcessIdentity> processes;
        unsigned writer;
        unsigned root;
    } cases[] = {
        {{}, 99, 99},  // unregistered
        {{process(1), process(2, 1), process(3, 2)}, 3, 1},
        // A → B → C → B, where A has the smallest id of all.
        {{process(1, 2), process(2, 3), process(3, 2)}, 1, 2},
        {{process(1, 3), process(3, 2), process(2, 3)}, 1, 2},
        {{process(5, 7), process(7, 4), process(4, 6), process(6, 7)}, 5, 4},
        {longChain, 100, 101},
    };
    for (const auto& row : cases) {
        Correlation c;
        for (const ProcessIdentity& registered : row.processes) {
            c.graph.register_(registered);
        }
        c.ingest({1, 0, row.writer});
        EXPECT_EQ(c.ingest({2, 1, row.writer}), incidentOf(1));
        EXPECT_EQ(c.at(1).at(0).rootProcessID(), pid(row.root)) << row.writer;
    }
    // A joining event whose chain passes through the root raises it: process 2 was its own root
    // until its parent became known; process 3 is tied only through the file.
    for (const unsigned writer : {2u, 3u}) {
        Correlation c{process(3)};
        c.ingest({1, 0, 2, file(1)});
        c.graph.register_(process(1));
        c.graph.register_(process(2, 1));
        EXPECT_EQ(c.ingest({2, 1, writer, writer == 3 ? std::optional(file(1)) : std::nullopt}),
                  incidentOf(1));
        EXPECT_EQ(c.at(1).at(0).rootProcessID(), pid(writer - 1)) << writer;
    }
}

TEST(IncidentCorrelator, RefusedEventsAndSnapshotsChangeNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    using Error = IncidentCorrelationError;
    // An event numbered `number` at `at`, or a snapshot at `at` when `number` is 0.
    const struct {
        unsigned number;
        double at;
        IncidentCorrelationError expected;
    } cases[] = {
        {7, 9, Error::outOfOrderEvent()},    {2, 11, Error::duplicateEventID(eid(2))},
        {2, 5, Error::outOfOrderEvent()},    {7, nan, Error::invalidTimestamp()},
        {2, inf, Error::invalidTimestamp()}, {7, -inf, Error::invalidTimestamp()},
        {0, nan, Error::invalidTimestamp()}, {0, 9.5, Error::outOfOrderEvent()},
    };
    Correlation base{process(1)};
    base.ingest({1, 0, 1, file(1)});
    base.ingest({2, 10, 1});
    // What a correlator shows afterwards: whether the stream's time or the accepted ids moved
    // (a new event at the latest time), and every incident.
    const auto observed = [&base](IncidentCorrelator correlator) {
        std::string outcome = "accepted";
        try {
            correlator.ingest(event({7, 10, 1}), base.graph);
        } catch (const IncidentCorrelationError& refusal) {
            outcome = refusal.what();
        }
        return outcome + encodeJSONText(correlator.finalizeAll());
    };
    const std::string untouched = observed(base.correlator);
    for (const auto& row : cases) {
        IncidentCorrelator copy = base.correlator;
        try {
            if (row.number != 0) {
                copy.ingest(event({row.number, row.at, 1}), base.graph);
            } else {
                copy.snapshot(Date{row.at});
            }
            ADD_FAILURE() << "accepted " << row.expected.what();
        } catch (const IncidentCorrelationError& refusal) {
            EXPECT_EQ(refusal, row.expected) << refusal.what();
        }
        EXPECT_EQ(observed(copy), untouched) << row.expected.what();
    }
    EXPECT_EQ(Error::duplicateEventID(eid(2)).eventID(), eid(2));
    EXPECT_EQ(Error::outOfOrderEvent().eventID(), std::nullopt);
    EXPECT_STREQ(Error::duplicateEventID(eid(2)).what(),
                 "IncidentCorrelationError.duplicateEventID");
}

// A snapshot after every window closes all and moves the stream's time; finalizing closes
// everything, keeps it, and restarts the stream's time but not the accepted ids.
TEST(IncidentCorrelator, SnapshotsAndFinalizingClose) {
    Correlation c{process(1), process(2)};
    c.ingest({1, 0, 1});
    c.ingest({2, 50, 2});
    const auto closed = c.correlator.snapshot(Date{111});
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(closed[0].state(), IncidentState::closed);
    EXPECT_EQ(closed[1].state(), IncidentState::closed);
    try {
        c.ingest({3, 110, 1});
        ADD_FAILURE() << "accepted an event before the snapshot";
    } catch (const IncidentCorrelationError& refusal) {
        EXPECT_EQ(refusal, IncidentCorrelationError::outOfOrderEvent());
    }

    c.ingest({3, 111, 1});
    const auto finalized = c.correlator.finalizeAll();
    EXPECT_EQ(encodeJSONText(c.correlator.finalizeAll()), encodeJSONText(finalized));
    ASSERT_EQ(finalized.size(), 3u);
    EXPECT_EQ(incidentIn(finalized, incidentOf(3)).state(), IncidentState::closed);
    // An earlier time is accepted again, but not an id seen before; nothing closed reopens.
    EXPECT_EQ(c.ingest({4, 0, 1}), incidentOf(4));
    EXPECT_THROW(c.ingest({1, 30, 1}), IncidentCorrelationError);
}

TEST(IncidentCorrelator, IncidentsComeOutByStartThenFirstSequenceThenFirstEventThenOwnID) {
    Correlation c;
    for (unsigned number : {10u, 20u, 25u, 30u, 40u, 50u}) {
        c.graph.register_(process(number));
    }
    // Unrelated processes at one time, arriving in an order that differs from the output's.
    c.ingest({30, 5, 30});
    c.ingest({.number = 40, .at = 5, .process = 40, .sequence = 7});
    c.ingest({25, 5, 25});
    c.ingest({20, 5, 20});
    c.ingest({.number = 50, .at = 5, .process = 50, .sequence = 3});
    c.ingest({.number = 10, .at = 6, .process = 10, .sequence = 1});
    c.correlator.finalizeAll();
    // Incident 20 adopts a resolution whose first event is that of incident 30.
    Incident adopted(incidentOf(20), std::nullopt, event({30, 5, 30}), 60);
    adopted.resolve(UserDecision::blocked);
    c.correlator.adoptResolvedIncident(adopted);

    std::vector<IncidentID> order;
    for (const Incident& incident : c.correlator.finalizeAll()) {
        order.push_back(incident.id());
    }
    EXPECT_EQ(order, (std::vector{incidentOf(50), incidentOf(40), incidentOf(25), incidentOf(20),
                                  incidentOf(30), incidentOf(10)}));
}

TEST(IncidentCorrelator, LateAttributionSetsTheRootOfAnOpenIncidentOnly) {
    Correlation c{process(1), process(2, 1)};
    const Sample unattributed{.number = 1, .at = 0, .file = file(1)};
    const auto attributed = [](const Sample& sample, unsigned by) {
        return event(sample).attributed(pid(by), AttributionConfidence::complete);
    };
    c.ingest(unattributed);
    c.ingest({.number = 2, .at = 100, .file = file(2)});  // closes 1
    const Sample second{.number = 3, .at = 100, .file = file(3)};
    c.ingest(second);
    const struct {
        EventEnvelope event;
        IncidentID incident;
    } refused[] = {
        {attributed(unattributed, 1), incidentOf(1)},                               // closed
        {attributed(unattributed, 1), incidentOf(9)},                               // unknown
        {attributed({.number = 2, .at = 100, .file = file(4)}, 1), incidentOf(2)},  // changed
    };
    const std::string before = encodeJSONText(c.at(100));
    for (const auto& row : refused) {
        EXPECT_FALSE(c.correlator.attribute(row.event, row.incident, c.graph).has_value());
        EXPECT_EQ(encodeJSONText(c.at(100)), before);
    }
    const auto updated = c.correlator.attribute(attributed(second, 2), incidentOf(3), c.graph);
    ASSERT_TRUE(updated.has_value());
    EXPECT_EQ(updated->rootProcessID(), pid(1));
    EXPECT_EQ(updated->events().at(0).processID(), pid(2));
    EXPECT_EQ(c.ingest({4, 101, 1}), incidentOf(3));
}

TEST(IncidentCorrelator, AdoptingAResolutionReplacesAndClosesOnlyAKnownSettledIncident) {
    Correlation c{process(1)};
    c.ingest({1, 0, 1});
    Incident stranger(incidentOf(8), std::nullopt, event({8, 0, 1}), 60);
    stranger.resolve(UserDecision::trusted);
    c.correlator.adoptResolvedIncident(stranger);
    Incident stillOpen(incidentOf(1), std::nullopt, event({1, 0, 1}), 5);
    c.correlator.adoptResolvedIncident(stillOpen);
    const auto unchanged = c.at(0);
    ASSERT_EQ(unchanged.size(), 1u);
    EXPECT_EQ(unchanged[0].openUntil(), Date{60});

    Incident resolved = unchanged[0];
    resolved.resolve(UserDecision::trusted);
    c.correlator.adoptResolvedIncident(resolved);
    // No longer open here: a tied event opens a new incident.
    EXPECT_EQ(c.ingest({2, 1, 1}), incidentOf(2));
    EXPECT_EQ(incidentIn(c.at(1), incidentOf(1)), resolved);
}

/// A pseudo-random stream over a few process trees (one with a cycle) and file objects, with
/// ties in time, gaps longer than the windows, unattributed events and executions.
struct RandomStream {
    ProcessGraph graph;
    std::vector<EventEnvelope> events;

    explicit RandomStream(unsigned seed) {
        std::mt19937 random(seed);
        const auto pick = [&random](unsigned count) {
            return static_cast<unsigned>(random() % count);
        };
        for (unsigned tree = 0; tree < 3; ++tree) {
            const unsigned root = 100 + tree * 10;
            graph.register_(process(root));
            graph.register_(process(root + 1, root));
            graph.register_(process(root + 2, root + 1));
            graph.register_(process(root + 3, root));
        }
        graph.register_(process(200, 201));
        graph.register_(process(201, 200));
        const std::vector<unsigned> processes{100, 101, 102, 103, 110, 111, 112,
                                              113, 120, 121, 122, 123, 200, 201};
        const char* paths[] = {"/opt/bin/a", "/opt/bin/b", "/etc/profile", "/tmp/x"};
        const char* digests[] = {"aa", "bb"};
        const EventOperation operations[] = {
            EventOperation::fileModified, EventOperation::fileCreated, EventOperation::processExec,
            EventOperation::fileRenamed, EventOperation::fileDeleted};

        double time = 0;
        for (unsigned index = 1; index <= 300; ++index) {
            time += pick(3) == 0 ? 0 : (pick(10) == 0 ? 80 : pick(20));
            std::optional<FileMetadata> touched;
            if (pick(6) != 0) {
                const unsigned object = pick(6);
                touched =
                    file(object + 1, paths[object % 4],
                         pick(3) == 0 ? std::nullopt : std::optional<std::string>(digests[pick(2)]),
                         object < 2);
            }
            events.push_back(EventEnvelope(
                EventID(numberedUUID(index * 7919 % 100'003)),
                pick(4) == 0 ? std::nullopt : std::optional<std::uint64_t>(pick(5)), Date{time},
                operations[pick(5)],
                pick(8) == 0 ? std::nullopt : std::optional(pid(processes[pick(14)])), touched,
                std::nullopt,
                pick(2) == 0 ? std::optional(NormalizedPath(paths[pick(2)], "/")) : std::nullopt,
                pick(5) == 0 ? std::vector{NormalizedPath(paths[pick(2)], "/")}
                             : std::vector<NormalizedPath>{},
                {}, AttributionConfidence::complete));
        }
    }

    std::vector<Incident> correlated() const {
        IncidentCorrelator correlator(60, 30);
        for (const EventEnvelope& next : events) {
            correlator.ingest(next, graph);
        }
        return correlator.finalizeAll();
    }
};

TEST(IncidentCorrelator, AStreamGivesTheSameWellFormedIncidentsEveryTime) {
    for (const unsigned seed : {1u, 2u}) {
        const RandomStream stream(seed);
        const auto incidents = stream.correlated();
        EXPECT_EQ(encodeJSONText(stream.correlated()), encodeJSONText(incidents)) << seed;

        std::size_t eventCount = 0;
        for (const Incident& incident : incidents) {
            eventCount += incident.events().size();
            EXPECT_EQ(incident.state(), IncidentState::closed);
            EXPECT_EQ(decodeJSONText<Incident>(encodeJSONText(incident)), incident) << seed;
        }
        EXPECT_EQ(eventCount, stream.events.size()) << "every event in exactly one incident";
        EXPECT_GT(stream.events.size(), incidents.size()) << "some events joined";
    }
}

}  // namespace
}  // namespace quorin
