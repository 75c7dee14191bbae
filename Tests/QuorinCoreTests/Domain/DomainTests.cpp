// The domain values' own rules: path normalization, event invariants, the incident lifecycle, risk
// assessments and the watch list; and the keyed hash their tables use.

#include "QuorinCore/Domain/Incident.hpp"
#include "QuorinCore/Domain/WatchList.hpp"
#include "QuorinCore/Support/KeyedHash.hpp"
#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quorin {
namespace {

using namespace quorin::testing;
using Paths = std::vector<NormalizedPath>;

// The reference vectors of SipHash-2-4 (key 00..0f, the message 00, 01, ... of each length).
TEST(KeyedHash, IsSipHash24) {
    const std::array<std::uint64_t, 2> key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    const struct {
        std::size_t length;
        std::uint64_t hash;
    } cases[] = {{0, 0x726fdb47dd0e0e31ULL},
                 {1, 0x74f839c593dc67fdULL},
                 {8, 0x93f5f5799a932462ULL},
                 {15, 0xa129ca6149be45e5ULL}};
    std::string message;
    for (const auto& [length, hash] : cases) {
        while (message.size() < length) {
            message += static_cast<char>(message.size());
        }
        EXPECT_EQ(sipHash24(message, key), hash) << length;
    }
}

// Identifiers a fixture chose so that an unkeyed hash of their halves is one number (the high
// half the low half's image under a fixed mixing) still spread over the table.
TEST(KeyedHash, IdentifiersChosenToCollideDoNot) {
    std::unordered_set<std::size_t> hashes;
    for (std::uint64_t low = 1; low <= 1'000; ++low) {
        const std::uint64_t high = 0x5555'5555'5555'5555ULL ^ (low * 0x9E37'79B9'7F4A'7C15ULL);
        UUID::Bytes bytes{};
        std::memcpy(bytes.data(), &high, sizeof high);
        std::memcpy(bytes.data() + sizeof high, &low, sizeof low);
        hashes.insert(std::hash<UUID>{}(UUID(bytes)));
    }
    EXPECT_EQ(hashes.size(), 1'000U);
}

// Which paths are under which is checked where it decides something: the matcher and the watch
// list's additions.
TEST(Paths, NormalizeExpandingTheHomeOnlyAtTheStartAndRefuseRelativePaths) {
    const struct {
        std::string path, home, expected;  // "refused" when normalizing throws
    } cases[] = {
        {"~/x", "/home/../root", "/root/x"},
        {"/~/x", "/h", "/~/x"},
        {"/usr//local/./bin/../lib/", "", "/usr/local/lib"},
        {"/a/b/../../..", "", "/"},
        {"/a/.../..b/.c", "", "/a/.../..b/.c"},
        {"bin/tool", "/h", "refused"},
        {"~ana/x", "/h", "refused"},
        {"~/x", "relative/home", "refused"},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(NormalizedPath(c.path, c.home).value(), c.expected) << c.path;
        } catch (const PathNormalizationError&) {
            EXPECT_EQ("refused", c.expected) << c.path;
        }
    }
}

const ProcessID process50(numberedUUID(50));

EventEnvelope event(unsigned number, double time, std::optional<ProcessID> process = std::nullopt,
                    AttributionConfidence confidence = AttributionConfidence::complete,
                    Paths referenced = {}, Paths added = {}) {
    return EventEnvelope(EventID(numberedUUID(number)), number, Date{time},
                         EventOperation::fileModified, process, std::nullopt, std::nullopt,
                         std::nullopt, std::move(referenced), std::move(added), confidence);
}

TEST(EventEnvelopeConstruction, KeepsItsInvariants) {
    using enum AttributionConfidence;
    for (const AttributionConfidence confidence : {complete, incomplete, correlated}) {
        EXPECT_EQ(event(1, 0, process50, confidence).attribution(), confidence);
        EXPECT_EQ(event(1, 0, std::nullopt, confidence).attribution(), incomplete);
    }
    // First occurrences stay where they were; the added list keeps its own order and only what
    // is referenced.
    const EventEnvelope value =
        event(1, 0, process50, complete, normalizedPaths({"/c", "/a", "/c", "/b", "/a"}),
              normalizedPaths({"/b", "/a", "/b", "/d"}));
    EXPECT_EQ(value.referencedExecutables(), normalizedPaths({"/c", "/a", "/b"}));
    EXPECT_EQ(value.addedReferencedExecutables(), normalizedPaths({"/b", "/a"}));
}

Incident incidentAt(double time, double window = 60) {
    return Incident(IncidentID(numberedUUID(900)), std::nullopt, event(1, time), window);
}

TEST(Incident, OpensWithASafeDeadlineAndAppendsInTimeAndArrivalOrder) {
    const double max = std::numeric_limits<double>::max();
    const std::pair<double, double> windows[] = {
        {60, 160}, {-5, 100}, {std::numeric_limits<double>::infinity(), 100}, {NAN, 100}};
    for (const auto& [window, openUntil] : windows) {
        EXPECT_EQ(incidentAt(100, window).openUntil(), Date{openUntil}) << window;
    }
    EXPECT_EQ(incidentAt(max, 1e308).openUntil(), Date{max});
    // How far an appended event moves the window, the summary and the open state are checked
    // through the correlator (IncidentCorrelator.AnEventOfTheSameTreeJoinsUpToTheWindowsEndWhich-
    // OnlyGrows); appending keeps time and arrival order and ignores repeats and closed incidents.
    Incident incident = incidentAt(100);
    incident.append(event(2, 100), 30);  // same time: after the first
    incident.append(event(3, 90), 30);   // earlier: goes first
    incident.append(event(4, 150), 30);
    incident.append(event(5, 100), 30);  // equal to stored times: after them, before 150
    EXPECT_EQ(incident.events(), (std::vector{event(3, 90), event(1, 100), event(2, 100),
                                              event(5, 100), event(4, 150)}));
    EXPECT_EQ(incident.startedAt(), Date{90});
    EXPECT_EQ(incident.lastEventAt(), Date{150});
    const Incident before = incident;
    incident.append(event(1, 170), 600);
    EXPECT_EQ(incident, before);
    incident.close();
    const Incident closed = incident;
    incident.append(event(7, 170), 600);
    incident.refineRootProcessID(process50);
    EXPECT_EQ(incident, closed);
}

// Refusals by a closed incident and of a changed event are checked through the correlator
// (IncidentCorrelator.LateAttributionSetsTheRootOfAnOpenIncidentOnly).
TEST(Incident, AttributesTheSameEventWithAProcessAndKeepsTheFirstDecision) {
    const ProcessID root(numberedUUID(51));
    Incident incident = incidentAt(10);
    incident.append(event(2, 20), 30);
    const Incident before = incident;
    EXPECT_FALSE(incident.attribute(event(3, 10, process50), root));  // unknown id
    EXPECT_FALSE(incident.attribute(event(1, 10), root));             // no process
    EXPECT_EQ(incident, before);
    // A later event does not set the root; the first event does, once.
    EXPECT_TRUE(
        incident.attribute(event(2, 20, process50, AttributionConfidence::correlated), root));
    EXPECT_FALSE(incident.rootProcessID());
    EXPECT_EQ(incident.events()[1].attribution(), AttributionConfidence::correlated);
    EXPECT_TRUE(incident.attribute(event(1, 10, process50), root));
    EXPECT_TRUE(incident.attribute(event(1, 10, root), process50));
    EXPECT_EQ(incident.rootProcessID(), root);
    // The first decision stands and closing keeps it; a closed incident can still be resolved.
    incident = incidentAt(0);
    incident.resolve(UserDecision::trusted);
    incident.resolve(UserDecision::blocked);
    incident.close();
    EXPECT_EQ(incident.state(), IncidentState::closed);
    EXPECT_EQ(incident.userDecision(), UserDecision::trusted);
    Incident closedFirst = incidentAt(0);
    closedFirst.close();
    closedFirst.resolve(UserDecision::restored);
    EXPECT_EQ(closedFirst.state(), IncidentState::resolved);
    EXPECT_EQ(closedFirst.userDecision(), UserDecision::restored);
}

TEST(RiskAssessmentConstruction, ClampsTheScoreDerivesSeverityAndDropsRepeats) {
    using enum RiskFactor;
    using enum Severity;
    const struct {
        std::int64_t given, score;
        Severity severity;
    } cases[] = {{101, 100, high}, {100, 100, high}, {-1, 0, low},     {0, 0, low},
                 {39, 39, low},    {40, 40, medium}, {69, 69, medium}, {70, 70, high}};
    for (const auto& c : cases) {
        const RiskAssessment assessment(c.given, high, {privilegedPath});
        EXPECT_EQ(assessment.score(), c.score) << c.given;
        EXPECT_EQ(assessment.severity(), c.severity) << c.given;
        EXPECT_EQ(assessment, RiskAssessment(c.given, {privilegedPath}));
    }
    EXPECT_EQ(RiskAssessment(140, {explicitTrust, privilegedPath, explicitTrust}).factors(),
              (std::vector<RiskFactor>{explicitTrust, privilegedPath}));
}

WatchListEntry entry(std::string_view path, unsigned number, bool enabled, bool isDefault = false) {
    return WatchListEntry{protectedPath(path, number), enabled, isDefault};
}

// Defaults come first, enabled; the first user entry at a default's path takes its place with its
// own id and flags; a default path listed twice is restored once; the other entries keep their
// order, state and duplicates.
TEST(WatchList, RestoresDefaultsFirstAndRefusesAdditionsByPathEnablementAndRecursion) {
    const auto zshrc = protectedPath("~/.zshrc", 1, false, PathCategory::shellStartup);
    const auto ssh = protectedPath("~/.ssh", 2, false, PathCategory::ssh);
    const std::vector<WatchListEntry> entries{
        entry("/a", 10, false), entry("/home/ana/.ssh", 11, false), entry("/b", 12, true),
        entry("/home/ana/.ssh", 13, true, true), entry("/a", 14, true)};
    const std::vector<WatchListEntry> expected{
        WatchListEntry{zshrc, true, true}, entry("/home/ana/.ssh", 11, true),
        entry("/a", 10, false), entry("/b", 12, true), entry("/a", 14, true)};
    EXPECT_EQ(WatchList::restoringDefaults(
                  entries, {zshrc, ssh, protectedPath("/home/ana/.ssh/", 3, true), zshrc}),
              expected);
    // Additions are refused by path, enablement and recursion.
    using Rejection = WatchList::AdditionRejection;
    const auto coveredBy = [](std::string_view path) {
        return std::optional(Rejection::coveredByEnabledRecursiveScope(normalized(path)));
    };
    const struct {
        std::string_view candidate;
        std::vector<WatchListEntry> entries;
        std::optional<Rejection> expected;
    } cases[] = {
        {"/a/b/c", {WatchListEntry{protectedPath("/a", 2, false), true, false}}, std::nullopt},
        {"/ab", {entry("/a", 1, true)}, std::nullopt},
        {"/etc/hosts", {entry("/", 3, true)}, coveredBy("/")},
        // A duplicate anywhere, even disabled, beats a covering scope; otherwise the first enabled
        // covering entry in list order.
        {"/a/b", {entry("/a", 1, true), entry("/a/b", 4, false)}, Rejection::duplicatePath()},
        {"/a/b/c",
         {entry("/a/b", 4, false), entry("/a", 1, true), entry("/a/b", 5, true)},
         coveredBy("/a")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WatchList::additionRejection(protectedPath(c.candidate, 99), c.entries),
                  c.expected)
            << c.candidate << " among " << c.entries.size();
    }
}

}  // namespace
}  // namespace quorin
