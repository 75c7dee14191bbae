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
    return FileMetadata{FileObjectID(numberedUUID(object)),
                        NormalizedPath(path, "/"),
                        1,
                        0,
                        0,
                        0644,
                        std::move(sha256),
                        isExecutable,
                        std::nullopt,
                        FileKind::regularFile,
                        std::nullopt};
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

// MARK: - Opening and joining

// The first event, at 100 by a child of process 1, opens an incident until 160; a joining event
// moves that end to its own time plus 30 only when this is later.
TEST(IncidentCorrelator, AnEventOfTheSameTreeJoinsUpToTheWindowsEndWhichOnlyGrows) {
    const struct {
        double secondAt;
        double openUntil;
    } cases[] = {{150, 180}, {110, 160}, {130, 160}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.secondAt);
        Correlation c{process(1), process(2, 1)};
        EXPECT_EQ(c.ingest({.number = 10, .at = 100, .process = 2, .file = file(1)}),
                  incidentOf(10));
        const auto opened = c.at(100);
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0].id(), incidentOf(10));
        EXPECT_EQ(opened[0].rootProcessID(), pid(1));
        EXPECT_EQ(opened[0].openUntil(), Date{160});
        EXPECT_EQ(opened[0].state(), IncidentState::open);
        EXPECT_EQ(eventIDsOf(opened[0]), std::vector{eid(10)});

        EXPECT_EQ(c.ingest({.number = 11, .at = row.secondAt, .process = 1}), incidentOf(10));
        const Incident joined = c.at(row.secondAt).at(0);
        EXPECT_EQ(eventIDsOf(joined), (std::vector{eid(10), eid(11)}));
        EXPECT_EQ(joined.lastEventAt(), Date{row.secondAt});
        EXPECT_EQ(joined.openUntil(), Date{row.openUntil});

        // A moment after the end, a tied event opens a new incident and the first one is closed.
        Correlation late = c;
        const double after = std::nextafter(row.openUntil, 1e9);
        EXPECT_EQ(late.ingest({.number = 12, .at = after, .process = 1}), incidentOf(12));
        const auto incidents = late.at(after);
        ASSERT_EQ(incidents.size(), 2u);
        EXPECT_EQ(incidentIn(incidents, incidentOf(10)).state(), IncidentState::closed);
        EXPECT_EQ(incidentIn(incidents, incidentOf(12)).state(), IncidentState::open);
        // At the very end it still joins.
        EXPECT_EQ(c.ingest({.number = 12, .at = row.openUntil, .process = 2}), incidentOf(10));
        EXPECT_EQ(c.at(row.openUntil).size(), 1u);
    }
}

TEST(IncidentCorrelator, AnExecutionJoinsTheIncidentThatWroteItOnlyWhenItRunsWhatWasWritten) {
    const struct {
        std::vector<std::optional<std::string>> written;
        std::optional<std::string> executed;
        bool joins;
    } cases[] = {
        {{"aa"}, "aa", true},         {{"aa"}, "bb", false},        {{"aa", "cc"}, "cc", true},
        {{"aa"}, std::nullopt, true}, {{std::nullopt}, "bb", true},
    };
    for (const auto& row : cases) {
        Correlation c{process(1), process(5)};
        unsigned number = 1;
        for (const auto& digest : row.written) {
            c.ingest({.number = number++,
                      .at = 0,
                      .process = 1,
                      .file = file(1, "/opt/bin/tool", digest, true)});
        }
        const IncidentID execution = c.ingest({.number = 9,
                                               .at = 1,
                                               .process = 5,
                                               .file = file(1, "/opt/bin/tool", row.executed, true),
                                               .operation = EventOperation::processExec});
        EXPECT_EQ(execution, row.joins ? incidentOf(1) : incidentOf(9))
            << row.executed.value_or("no digest");
    }
}

TEST(IncidentCorrelator, AnExecutionOfAPathLinkedByAnIncidentJoinsIt) {
    const NormalizedPath linked("/opt/t", "/");
    const Sample written{.number = 1, .at = 0, .process = 1, .file = file(1, "/opt/t", {}, true)};
    Sample renamed = written;
    renamed.file = file(1, "/tmp/t", {}, true);
    renamed.operation = EventOperation::fileRenamed;
    renamed.destination = linked;
    Sample referencing = written;
    referencing.file = file(1, "/etc/rc");
    referencing.referenced = {linked};
    for (const Sample& writing : {written, renamed, referencing}) {
        Correlation c{process(1), process(5)};
        c.ingest(writing);
        EXPECT_EQ(c.ingest({.number = 2,
                            .at = 1,
                            .process = 5,
                            .file = file(2, "/opt/t", {}, true),
                            .operation = EventOperation::processExec}),
                  incidentOf(1))
            << writing.file->path.value();
    }
}

TEST(IncidentCorrelator, ConflictingEvidenceGoesToAnAmbiguousIncidentPerAmbiguity) {
    Correlation c{process(1), process(2, 1), process(3)};
    c.ingest({.number = 1, .at = 0, .process = 1, .file = file(1)});
    c.ingest({.number = 2, .at = 1, .process = 3, .file = file(2)});

    // Tied to incident 1 by its process tree and to incident 2 by its file.
    EXPECT_EQ(c.ingest({.number = 3, .at = 2, .process = 2, .file = file(2)}), incidentOf(3));
    EXPECT_EQ(c.ingest({.number = 4, .at = 3, .process = 1, .file = file(2)}), incidentOf(3));
    EXPECT_EQ(c.ingest({.number = 5,
                        .at = 4,
                        .process = 2,
                        .file = file(2),
                        .operation = EventOperation::fileDeleted}),
              incidentOf(5));

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

// MARK: - Process context

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
        const char* name;
        std::vector<ProcessIdentity> processes;
        unsigned writer;
        unsigned root;
    } cases[] = {
        {"unregistered process", {}, 99, 99},
        {"chain", {process(1), process(2, 1), process(3, 2)}, 3, 1},
        // A → B → C → B, where A has the smallest id of all.
        {"cycle, B smaller", {process(1, 2), process(2, 3), process(3, 2)}, 1, 2},
        {"cycle, C smaller", {process(1, 3), process(3, 2), process(2, 3)}, 1, 2},
        {"cycle of three", {process(5, 7), process(7, 4), process(4, 6), process(6, 7)}, 5, 4},
        {"long chain into a cycle", longChain, 100, 101},
    };
    for (const auto& row : cases) {
        Correlation c;
        for (const ProcessIdentity& registered : row.processes) {
            c.graph.register_(registered);
        }
        c.ingest({.number = 1, .at = 0, .process = row.writer});
        // The writer itself is in the context too, so its next event joins.
        EXPECT_EQ(c.ingest({.number = 2, .at = 1, .process = row.writer}), incidentOf(1));
        EXPECT_EQ(c.at(1).at(0).rootProcessID(), pid(row.root)) << row.name;
    }
}

TEST(IncidentCorrelator, AJoiningEventWhoseChainPassesThroughTheRootRaisesIt) {
    const struct {
        unsigned writer;
        std::optional<FileMetadata> touched;
        unsigned root;
    } cases[] = {{2, std::nullopt, 1}, {3, file(1), 2}};
    for (const auto& row : cases) {
        Correlation c{process(3)};
        // Process 2 is not registered yet: it is its own root.
        c.ingest({.number = 1, .at = 0, .process = 2, .file = file(1)});
        // Its parent becomes known; process 3 is tied only through the file.
        c.graph.register_(process(1));
        c.graph.register_(process(2, 1));
        EXPECT_EQ(c.ingest({.number = 2, .at = 1, .process = row.writer, .file = row.touched}),
                  incidentOf(1));
        EXPECT_EQ(c.at(1).at(0).rootProcessID(), pid(row.root)) << row.writer;
    }
}

TEST(IncidentCorrelator, AgreeingEvidenceNarrowsTheChoiceAndDisagreeingEvidenceWidensIt) {
    const auto referencing = [](Sample sample) {
        sample.referenced = {NormalizedPath("/opt/x", "/")};
        return sample;
    };
    Correlation c{process(1), process(2)};
    c.ingest(referencing({.number = 1, .at = 0, .process = 1, .file = file(1)}));
    c.ingest({.number = 2, .at = 1, .process = 2, .file = file(2)});
    // Process tree and file name incident 2, the reference incident 1: the process agrees with 2.
    EXPECT_EQ(c.ingest(referencing({.number = 3, .at = 2, .process = 2, .file = file(2)})),
              incidentOf(2));
    // Both incidents now link /opt/x; the file object narrows that down to incident 2.
    EXPECT_EQ(c.ingest(referencing({.number = 4, .at = 3, .process = 8, .file = file(2)})),
              incidentOf(2));
    // Nothing narrows the reference alone.
    EXPECT_EQ(c.ingest(referencing({.number = 5, .at = 4, .process = 9})), incidentOf(5));
    EXPECT_EQ(incidentIn(c.at(4), incidentOf(5)).summary(), "Ambiguous protected-path activity");
}

// MARK: - Refused input

TEST(IncidentCorrelator, RefusedEventsAndSnapshotsChangeNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    using Error = IncidentCorrelationError;
    const struct {
        std::optional<Sample> event;  // a snapshot at `snapshotAt` when absent
        double snapshotAt;
        IncidentCorrelationError expected;
    } cases[] = {
        {Sample{.number = 7, .at = 9, .process = 1}, 0, Error::outOfOrderEvent()},
        {Sample{.number = 2, .at = 11, .process = 1}, 0, Error::duplicateEventID(eid(2))},
        {Sample{.number = 2, .at = 5, .process = 1}, 0, Error::outOfOrderEvent()},
        {Sample{.number = 7, .at = nan, .process = 1}, 0, Error::invalidTimestamp()},
        {Sample{.number = 2, .at = inf, .process = 1}, 0, Error::invalidTimestamp()},
        {Sample{.number = 7, .at = -inf, .process = 1}, 0, Error::invalidTimestamp()},
        {std::nullopt, nan, Error::invalidTimestamp()},
        {std::nullopt, 9.5, Error::outOfOrderEvent()},
    };

    Correlation base{process(1)};
    base.ingest({.number = 1, .at = 0, .process = 1, .file = file(1)});
    base.ingest({.number = 2, .at = 10, .process = 1});
    // What a correlator shows afterwards: whether the stream's time or the accepted ids moved
    // (a new event at the latest time), and every incident.
    const auto observed = [&base](IncidentCorrelator correlator) {
        std::string outcome = "accepted";
        try {
            correlator.ingest(event({.number = 7, .at = 10, .process = 1}), base.graph);
        } catch (const IncidentCorrelationError& refusal) {
            outcome = refusal.what();
        }
        return outcome + encodeJSONText(correlator.finalizeAll());
    };
    const std::string untouched = observed(base.correlator);

    for (const auto& row : cases) {
        IncidentCorrelator copy = base.correlator;
        try {
            if (row.event) {
                copy.ingest(event(*row.event), base.graph);
            } else {
                copy.snapshot(Date{row.snapshotAt});
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

// MARK: - Closing and output

TEST(IncidentCorrelator, ASnapshotAfterEveryWindowClosesAllAndMovesTheStreamsTime) {
    Correlation c{process(1), process(2)};
    c.ingest({.number = 1, .at = 0, .process = 1});
    c.ingest({.number = 2, .at = 50, .process = 2});

    const auto incidents = c.correlator.snapshot(Date{111});
    ASSERT_EQ(incidents.size(), 2u);
    for (const Incident& incident : incidents) {
        EXPECT_EQ(incident.state(), IncidentState::closed);
    }
    try {
        c.ingest({.number = 3, .at = 110, .process = 1});
        ADD_FAILURE() << "accepted an event before the snapshot";
    } catch (const IncidentCorrelationError& refusal) {
        EXPECT_EQ(refusal, IncidentCorrelationError::outOfOrderEvent());
    }
}

TEST(IncidentCorrelator, FinalizingClosesEverythingKeepsItAndRestartsTheStreamsTime) {
    Correlation c{process(1), process(2)};
    c.ingest({.number = 1, .at = 10, .process = 1});
    c.ingest({.number = 2, .at = 20, .process = 2});

    const auto first = c.correlator.finalizeAll();
    EXPECT_EQ(encodeJSONText(c.correlator.finalizeAll()), encodeJSONText(first));
    ASSERT_EQ(first.size(), 2u);
    for (const Incident& incident : first) {
        EXPECT_EQ(incident.state(), IncidentState::closed);
    }
    // An earlier time is accepted again, but not an id seen before; nothing closed reopens.
    EXPECT_EQ(c.ingest({.number = 3, .at = 0, .process = 1}), incidentOf(3));
    EXPECT_THROW(c.ingest({.number = 1, .at = 30, .process = 1}), IncidentCorrelationError);
}

TEST(IncidentCorrelator, IncidentsComeOutByStartThenFirstSequenceThenFirstEventThenOwnID) {
    Correlation c;
    for (unsigned number : {10u, 20u, 25u, 30u, 40u, 50u}) {
        c.graph.register_(process(number));
    }
    // Unrelated processes at one time, arriving in an order that differs from the output's.
    c.ingest({.number = 30, .at = 5, .process = 30});
    c.ingest({.number = 40, .at = 5, .process = 40, .sequence = 7});
    c.ingest({.number = 25, .at = 5, .process = 25});
    c.ingest({.number = 20, .at = 5, .process = 20});
    c.ingest({.number = 50, .at = 5, .process = 50, .sequence = 3});
    c.ingest({.number = 10, .at = 6, .process = 10, .sequence = 1});
    c.correlator.finalizeAll();
    // Incident 20 adopts a resolution whose first event is that of incident 30.
    Incident adopted(incidentOf(20), std::nullopt, event({.number = 30, .at = 5, .process = 30}),
                     60);
    adopted.resolve(UserDecision::blocked);
    c.correlator.adoptResolvedIncident(adopted);

    std::vector<IncidentID> order;
    for (const Incident& incident : c.correlator.finalizeAll()) {
        order.push_back(incident.id());
    }
    EXPECT_EQ(order, (std::vector{incidentOf(50), incidentOf(40), incidentOf(25), incidentOf(20),
                                  incidentOf(30), incidentOf(10)}));
}

// MARK: - Late attribution and adoption

TEST(IncidentCorrelator, LateAttributionSetsTheRootAndTiesTheIncidentToTheTree) {
    Correlation c{process(1), process(2, 1)};
    const Sample unattributed{.number = 1, .at = 0, .file = file(1)};
    c.ingest(unattributed);

    const auto updated = c.correlator.attribute(
        event(unattributed).attributed(pid(2), AttributionConfidence::complete), incidentOf(1),
        c.graph);
    ASSERT_TRUE(updated.has_value());
    EXPECT_EQ(updated->rootProcessID(), pid(1));
    EXPECT_EQ(updated->events().at(0).processID(), pid(2));
    EXPECT_EQ(c.ingest({.number = 2, .at = 1, .process = 1}), incidentOf(1));
}

TEST(IncidentCorrelator, LateAttributionThatDoesNotApplyChangesNothing) {
    Correlation c{process(1)};
    const Sample unattributed{.number = 1, .at = 0, .file = file(1)};
    c.ingest(unattributed);
    c.ingest({.number = 2, .at = 100, .file = file(2)});  // closes 1
    const auto attributed = [](Sample sample) {
        return event(sample).attributed(pid(1), AttributionConfidence::complete);
    };
    const struct {
        const char* name;
        EventEnvelope event;
        IncidentID incident;
    } cases[] = {
        {"closed incident", attributed(unattributed), incidentOf(1)},
        {"unknown incident", attributed(unattributed), incidentOf(9)},
        {"other event content", attributed({.number = 2, .at = 100, .file = file(3)}),
         incidentOf(2)},
    };
    const std::string before = encodeJSONText(c.at(100));
    for (const auto& row : cases) {
        EXPECT_FALSE(c.correlator.attribute(row.event, row.incident, c.graph).has_value())
            << row.name;
        EXPECT_EQ(encodeJSONText(c.at(100)), before) << row.name;
    }
}

TEST(IncidentCorrelator, AdoptingAResolutionReplacesAndClosesOnlyAKnownSettledIncident) {
    Correlation c{process(1)};
    c.ingest({.number = 1, .at = 0, .process = 1});

    Incident stranger(incidentOf(8), std::nullopt, event({.number = 8, .at = 0, .process = 1}), 60);
    stranger.resolve(UserDecision::trusted);
    c.correlator.adoptResolvedIncident(stranger);
    Incident stillOpen(incidentOf(1), std::nullopt, event({.number = 1, .at = 0, .process = 1}), 5);
    c.correlator.adoptResolvedIncident(stillOpen);
    const auto unchanged = c.at(0);
    ASSERT_EQ(unchanged.size(), 1u);
    EXPECT_EQ(unchanged[0].openUntil(), Date{60});

    Incident resolved = unchanged[0];
    resolved.resolve(UserDecision::trusted);
    c.correlator.adoptResolvedIncident(resolved);
    // No longer open here: a tied event opens a new incident.
    EXPECT_EQ(c.ingest({.number = 2, .at = 1, .process = 1}), incidentOf(2));
    EXPECT_EQ(incidentIn(c.at(1), incidentOf(1)), resolved);
}

// MARK: - Whole streams

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
