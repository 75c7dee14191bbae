#include "QuorinCore/Domain/Incident.hpp"

#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::failsToDecode;
using testing::numberedUUID;
using Kind = DecodingError::Kind;
using enum RiskFactor;

constexpr double infinity = std::numeric_limits<double>::infinity();

EventEnvelope event(unsigned number, double time, std::optional<ProcessID> process = std::nullopt,
                    AttributionConfidence confidence = AttributionConfidence::complete) {
    return EventEnvelope(EventID(numberedUUID(number)), number, Date{time},
                         EventOperation::fileModified, process, std::nullopt, std::nullopt,
                         std::nullopt, {}, {}, confidence);
}

std::vector<unsigned> sequencesOf(const Incident& incident) {
    std::vector<unsigned> numbers;
    for (const EventEnvelope& e : incident.events()) {
        numbers.push_back(static_cast<unsigned>(*e.sequence()));
    }
    return numbers;
}

Incident incidentAt(double time, double window = 60) {
    return Incident(IncidentID(numberedUUID(900)), std::nullopt, event(1, time), window);
}

TEST(IncidentCreation, OpensAroundOneEventWithASafeDeadline) {
    const struct {
        double base;
        double window;
        double openUntil;
    } cases[] = {
        {100, 60, 160},
        {100, 0, 100},
        {100, -5, 100},
        {100, infinity, 100},
        {100, NAN, 100},
        {std::numeric_limits<double>::max(), 1e308, std::numeric_limits<double>::max()},
    };
    for (const auto& c : cases) {
        const Incident incident = incidentAt(c.base, c.window);
        EXPECT_EQ(incident.openUntil(), Date{c.openUntil}) << c.window;
        EXPECT_EQ(incident.startedAt(), Date{c.base});
        EXPECT_EQ(incident.lastEventAt(), Date{c.base});
    }
    const Incident incident = incidentAt(5);
    EXPECT_EQ(incident.summary(), "Protected-path activity");
    EXPECT_EQ(incident.state(), IncidentState::open);
    EXPECT_FALSE(incident.assessment() || incident.userDecision() || incident.rootProcessID());
}

TEST(IncidentAppend, KeepsTimeOrderAndArrivalOrderAndOnlyGrowsTheWindow) {
    Incident incident = incidentAt(100);  // open until 160
    incident.append(event(2, 100), 30);   // same time: after the first
    incident.append(event(3, 90), 30);    // earlier: goes first, window stays 160
    EXPECT_EQ(sequencesOf(incident), (std::vector<unsigned>{3, 1, 2}));
    EXPECT_EQ(incident.startedAt(), Date{90});
    EXPECT_EQ(incident.lastEventAt(), Date{100});
    EXPECT_EQ(incident.openUntil(), Date{160});

    incident.append(event(4, 150), 30);  // window measured from the event: 180
    incident.append(event(5, 100), 30);  // equal to stored times: after them, before 150
    EXPECT_EQ(sequencesOf(incident), (std::vector<unsigned>{3, 1, 2, 5, 4}));
    EXPECT_EQ(incident.openUntil(), Date{180});
    incident.append(event(6, 155), -1);  // an unusable window adds nothing
    EXPECT_EQ(incident.openUntil(), Date{180});
}

TEST(IncidentAppend, IgnoresRepeatedIdsAndIncidentsThatAreNotOpen) {
    Incident incident = incidentAt(100);
    const Incident before = incident;
    incident.append(event(1, 120), 600);
    EXPECT_EQ(incident, before);

    incident.close();
    const Incident closed = incident;
    incident.append(event(2, 120), 600);
    incident.refineRootProcessID(ProcessID(numberedUUID(7)));
    EXPECT_EQ(incident, closed);
}

TEST(IncidentAttribute, AcceptsOnlyTheSameEventWithAProcessFilledIn) {
    const ProcessID process(numberedUUID(50));
    const ProcessID root(numberedUUID(51));
    Incident incident =
        Incident(IncidentID(numberedUUID(900)), std::nullopt, event(1, 10, std::nullopt), 60);
    incident.append(event(2, 20, std::nullopt), 30);
    const Incident before = incident;

    EXPECT_FALSE(incident.attribute(event(3, 10, process), root));  // unknown id
    EXPECT_FALSE(incident.attribute(event(1, 10), root));           // no process
    EXPECT_FALSE(incident.attribute(event(1, 11, process), root));  // differs in time
    const EventEnvelope otherOperation(EventID(numberedUUID(1)), 1, Date{10},
                                       EventOperation::fileCreated, process, {}, {}, {}, {}, {},
                                       AttributionConfidence::complete);
    EXPECT_FALSE(incident.attribute(otherOperation, root));
    EXPECT_EQ(incident, before);

    // A later event does not set the root; the first event does, once.
    EXPECT_TRUE(incident.attribute(event(2, 20, process, AttributionConfidence::correlated), root));
    EXPECT_FALSE(incident.rootProcessID());
    EXPECT_EQ(incident.events()[1].attribution(), AttributionConfidence::correlated);
    EXPECT_TRUE(incident.attribute(event(1, 10, process), root));
    EXPECT_EQ(incident.rootProcessID(), root);
    EXPECT_TRUE(incident.attribute(event(1, 10, root), process));
    EXPECT_EQ(incident.rootProcessID(), root);

    incident.close();
    EXPECT_FALSE(incident.attribute(event(2, 20, root), root));
}

TEST(IncidentLifecycle, FirstDecisionStandsAndClosingKeepsIt) {
    Incident incident = incidentAt(0);
    incident.resolve(UserDecision::trusted);
    incident.resolve(UserDecision::blocked);
    EXPECT_EQ(incident.state(), IncidentState::resolved);
    EXPECT_EQ(incident.userDecision(), UserDecision::trusted);
    incident.close();
    EXPECT_EQ(incident.state(), IncidentState::closed);
    EXPECT_EQ(incident.userDecision(), UserDecision::trusted);

    Incident closedFirst = incidentAt(0);
    closedFirst.close();
    closedFirst.resolve(UserDecision::restored);
    EXPECT_EQ(closedFirst.state(), IncidentState::resolved);
    EXPECT_EQ(closedFirst.userDecision(), UserDecision::restored);
}

TEST(RiskFactors, HaveTheirWeightsInDeclarationOrder) {
    std::vector<std::int64_t> weights;
    for (const RiskFactor factor : allCases<RiskFactor>()) {
        weights.push_back(weight(factor));
    }
    EXPECT_EQ(weights,
              (std::vector<std::int64_t>{30, 25, 20, 35, 25, 20, 15, 10, 15, -30, -20, -15, -20}));
}

TEST(RiskAssessmentConstruction, ClampsTheScoreDerivesSeverityAndDropsRepeats) {
    const struct {
        std::int64_t given;
        std::int64_t score;
        Severity severity;
    } cases[] = {
        {140, 100, Severity::high}, {-3, 0, Severity::low},     {39, 39, Severity::low},
        {40, 40, Severity::medium}, {69, 69, Severity::medium}, {70, 70, Severity::high},
        {100, 100, Severity::high}, {0, 0, Severity::low},
    };
    for (const auto& c : cases) {
        const RiskAssessment assessment(c.given, Severity::high, {privilegedPath});
        EXPECT_EQ(assessment.score(), c.score) << c.given;
        EXPECT_EQ(assessment.severity(), c.severity) << c.given;
        EXPECT_EQ(assessment, RiskAssessment(c.given, {privilegedPath}));
    }
    EXPECT_EQ(RiskAssessment(140, {explicitTrust, privilegedPath, explicitTrust}).factors(),
              (std::vector<RiskFactor>{explicitTrust, privilegedPath}));
}

TEST(RiskAssessmentDecoding, RejectsWhatTheConstructorWouldRepairInOrder) {
    const struct {
        std::string json;
        std::string key;
        std::string sentence;
    } cases[] = {
        {R"({"score":101,"severity":"high","factors":[]})", "score",
         "Risk score must be between 0 and 100."},
        {R"({"score":-1,"severity":"medium","factors":["explicitTrust","explicitTrust"]})", "score",
         "Risk score must be between 0 and 100."},
        {R"({"score":55,"severity":"high","factors":["explicitTrust","explicitTrust"]})",
         "severity", "Risk severity must match the persisted score."},
        {R"({"score":55,"severity":"medium","factors":["explicitTrust","explicitTrust"]})",
         "factors", "Risk factors must not contain duplicates."},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(failsToDecode<RiskAssessment>(c.json, {Kind::dataCorrupted, c.key, c.sentence}))
            << c.json;
    }
    EXPECT_TRUE(failsToDecode<RiskAssessment>(R"({"score":5,"severity":"low","factors":["x"]})",
                                              {Kind::dataCorrupted, "factors[0]", ""}));
    EXPECT_EQ(
        encodeJSONText(RiskAssessment(55, {newProtectedExecutable, unsignedExecutable})),
        R"({"score":55,"severity":"medium","factors":["newProtectedExecutable","unsignedExecutable"]})");
}

// A valid incident document with two events at 10 and 20, open until 50.
Json validIncident() {
    Incident incident = incidentAt(10, 40);
    incident.append(event(2, 20), 0);
    incident.setAssessment(RiskAssessment(20, {privilegedPath}));
    return encodeJSON(incident);
}

TEST(IncidentDecoding, ChecksTheInvariantsInTheirDocumentedOrder) {
    const Json valid = validIncident();
    const Json first = valid["events"][0];
    const Json second = valid["events"][1];
    auto withEvents = [&](Json events) {
        Json json = valid;
        json["events"] = std::move(events);
        return json;
    };
    auto with = [](Json json, const char* key, Json value) {
        json[key] = std::move(value);
        return json;
    };
    Json laterFirst = first;
    laterFirst["observedAt"] = 30;

    const struct {
        Json json;
        std::string key;
        std::string sentence;
    } cases[] = {
        {withEvents(Json::array()), "events", "An incident must contain at least one event."},
        {withEvents(Json::array({first, first})), "events", "Incident event IDs must be unique."},
        {withEvents(Json::array({laterFirst, second})), "events",
         "Incident events must be chronological."},
        {with(valid, "startedAt", 11), "startedAt", "Incident start must match its first event."},
        {with(withEvents(Json::array({first})), "startedAt", 10), "lastEventAt",
         "Incident end must match its last event."},
        {with(valid, "openUntil", 19.5), "openUntil",
         "Incident window must not end before its last event."},
        {with(valid, "userDecision", "trusted"), "userDecision",
         "An open incident cannot have a user decision."},
        {with(valid, "state", "resolved"), "userDecision",
         "A resolved incident requires a user decision."},
        // Precedence: duplicates before order, order before the start check, the lifecycle
        // checks before the identity keys are read.
        {with(withEvents(Json::array({laterFirst, second, second})), "startedAt", 99), "events",
         "Incident event IDs must be unique."},
        {with(with(withEvents(Json::array({laterFirst, second})), "startedAt", 99), "id", nullptr),
         "events", "Incident events must be chronological."},
        {with(with(valid, "state", "resolved"), "id", "not an identifier"), "userDecision",
         "A resolved incident requires a user decision."},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(failsToDecode<Incident>(serializeJSON(c.json),
                                            {Kind::dataCorrupted, c.key, c.sentence}))
            << serializeJSON(c.json);
    }
}

TEST(IncidentDecoding, NonFiniteDatesComeFirst) {
    // JSON text cannot carry an infinite number, but a document built in memory can.
    for (const char* key : {"startedAt", "lastEventAt", "openUntil"}) {
        Json json = validIncident();
        json["events"] = Json::array();
        json[key] = infinity;
        try {
            (void)decodeJSON<Incident>(json);
            ADD_FAILURE() << key;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.description(), "Incident dates must be finite.") << key;
            EXPECT_EQ(describe(error.codingPath()), "events");
        }
    }
}

TEST(IncidentDecoding, AcceptsClosedIncidentsWithOrWithoutADecisionAndRoundTrips) {
    for (const char* decision : {"", "blocked"}) {
        Json json = validIncident();
        json["state"] = "closed";
        if (*decision != '\0') {
            json["userDecision"] = decision;
        }
        const Incident incident = decodeJSONText<Incident>(serializeJSON(json));
        EXPECT_EQ(incident.state(), IncidentState::closed);
        EXPECT_EQ(encodeJSONText(incident), serializeJSON(json));
    }
    Incident resolved = incidentAt(3);
    resolved.refineRootProcessID(ProcessID(numberedUUID(8)));
    resolved.resolve(UserDecision::allowedOnce);
    EXPECT_EQ(testing::roundTrip(resolved), resolved);
}

}  // namespace
}  // namespace quorin
