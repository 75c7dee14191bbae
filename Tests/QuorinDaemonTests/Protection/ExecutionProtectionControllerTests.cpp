#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include "Protection/HeldExecution.hpp"
#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::HeldExecution;
using testing::ProtectionHarness;
using Answer = HeldExecution::Answer;
using Trust = ExecutionExplanation::Trust;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

User withOutcomes(std::size_t count) {
    User user;
    user.outcomes.assign(count,
                         ExecutionOutcome{UUID::random(), "/old", Date{1}, "Allowed once", true,
                                          ExecutionOutcomeResult::allowed, std::nullopt});
    return user;
}

std::vector<std::string> reasons(const std::vector<ExecutionOutcome>& outcomes) {
    std::vector<std::string> texts;
    for (const ExecutionOutcome& outcome : outcomes) {
        texts.push_back(outcome.reason);
    }
    return texts;
}

// What became of an execution handed to the controller: "held", or the answer it got at once.
std::string verdict(ProtectionHarness& h, std::uint32_t uid) {
    HeldExecution execution(*h.controller, uid, h.candidateFor(h.home / "bin" / "tool"));
    const bool held = execution.prepare(h.clock.now().addingTimeInterval(100));
    const std::vector<Answer> answers = execution.answers();
    return held && answers.empty()                               ? "held"
           : !held && answers.size() == 1 && !answers[0].allowed ? answers[0].reason
                                                                 : "answered otherwise";
}

// `count` executions of users 501, 502, … (32 each, five users enabled) handed to the controller
// and held; with `identified` their identity jobs have run.
std::vector<HeldExecution> holdMany(ProtectionHarness& h, std::size_t count, bool identified) {
    for (std::uint32_t uid = ana; uid < ana + 5; ++uid) {
        h.enable(uid);
    }
    std::vector<HeldExecution> held;
    for (std::size_t index = 0; index < count; ++index) {
        held.push_back(h.hold(ana + static_cast<std::uint32_t>(index / 32),
                              h.candidateFor(h.home / "bin" / "tool")));
    }
    if (identified) {
        h.dispatch.runPending();
    }
    return held;
}

std::string errorOf(ProtectionHarness& h, std::uint32_t uid) {
    return h.state(uid).error.value_or("no error");
}

TEST(ExecutionProtectionLimitsTest, EachLimitHoldsAtItsBoundAndNotPast) {
    const std::string queueFull = "Blocked: decision queue full";
    const std::string nearlyFull =
        "Protection history nearly full; export and maintenance required";
    struct Case {
        std::string name;
        std::size_t limit;
        // Brings the controller to `count` of what is limited and tells what the last one met.
        std::function<std::string(ProtectionHarness&, std::size_t count)> run;
        std::string atLimit;
        std::string pastLimit;
    };
    const std::vector<Case> cases{
        {"executions held for one user", 32,
         [](ProtectionHarness& h, std::size_t count) {
             const auto held = holdMany(h, count - 1, true);
             return verdict(h, ana);
         },
         "held", queueFull},
        {"executions held in all, 32 per user", 128,
         [](ProtectionHarness& h, std::size_t count) {
             const auto held = holdMany(h, count - 1, true);
             return verdict(h, ana + static_cast<std::uint32_t>((count - 1) / 32));
         },
         "held", queueFull},
        {"identity jobs, of executions already ended", 128,
         [](ProtectionHarness& h, std::size_t count) {
             for (HeldExecution& execution : holdMany(h, count - 1, false)) {
                 execution.expire();
             }
             return verdict(h, ana + static_cast<std::uint32_t>((count - 1) / 32));
         },
         "held", queueFull},
        {"trust rules; the execution is allowed all the same", 1'000,
         [](ProtectionHarness& h, std::size_t count) {
             User user;
             for (std::size_t index = 1; index < count; ++index) {
                 user.rules.push_back(Rule{std::nullopt, std::to_string(index)});
             }
             h.store(ana, user);
             h.enable(ana);
             const HeldExecution held = h.hold(ana, h.candidateFor(h.home / "bin" / "tool"));
             h.dispatch.runPending();
             const auto reply = h.decide(ana, held.id(), ExecutionDecision::alwaysTrust);
             EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed; saving trust rule"}}));
             EXPECT_EQ(h.stored(ana).rules.size(), std::min<std::size_t>(count, 1'000));
             return reply == true ? "saved" : errorOf(h, ana);
         },
         "saved", "Execution allowed once; trust rule was not saved"},
        {"stored outcomes; a snapshot shows the newest 100", 10'000,
         [](ProtectionHarness& h, std::size_t count) {
             h.store(ana, withOutcomes(count - 1));
             h.enable(ana);
             const HeldExecution held = h.hold(ana, h.candidateFor(h.home / "bin" / "tool"));
             EXPECT_EQ(h.decide(ana, held.id(), ExecutionDecision::block), true);
             const ExecutionProtectionState snapshot = h.state(ana);
             EXPECT_EQ(snapshot.outcomes.size(), 100u);
             EXPECT_EQ(snapshot.outcomes.front().id == held.id(), count <= 10'000);
             EXPECT_EQ(h.stored(ana).outcomes.size(), std::min<std::size_t>(count, 10'000));
             return snapshot.error.value_or("no error");
         },
         nearlyFull, "Protection history could not be saved"},
        {"stored outcomes without a warning", 7'999,
         [](ProtectionHarness& h, std::size_t count) {
             h.store(ana, withOutcomes(count));
             return errorOf(h, ana);
         },
         "no error", nearlyFull},
        {"queued recordings; drained, there is room again", 256,
         [](ProtectionHarness& h, std::size_t count) {
             h.enable(ana);
             for (std::size_t index = 0; index <= count; ++index) {
                 if (index == count) {
                     h.dispatch.runPending();
                 }
                 h.controller->completed(ana, UUID::random(), "/x", false, "Blocked by user",
                                         ExecutionOutcomeResult::blocked);
             }
             const std::string error = errorOf(h, ana);
             return error + ", " + std::to_string(h.stored(ana).outcomes.size()) + " stored";
         },
         "no error, 257 stored",
         "Execution history overflow; some outcomes could not be recorded, 257 stored"},
        {"changed paths awaiting an alias refresh, each once", 1'024,
         [](ProtectionHarness& h, std::size_t count) {
             h.enable(ana);
             (void)h.state(ben);  // loaded, protection off
             for (std::size_t index = 0; index <= count; ++index) {
                 h.controller->observedChange(
                     (h.home / "bin" / std::to_string(index % count)).string());
             }
             return errorOf(h, ana) + " / " + errorOf(h, ben);
         },
         "no error / no error",
         "Executable alias observation overflow / Executable alias observation overflow"},
        {"aliases in memory; a known link is followed at the limit", 20'000,
         [](ProtectionHarness& h, std::size_t count) {
             const fs::path target = h.home.write("target", "#!/bin/sh\n");
             const fs::path other = h.home.write("other", "x");
             ExecutionProtectionConfiguration configuration = h.settings();
             for (std::size_t index = 1; index < count; ++index) {
                 const fs::path link = h.home / "bin" / std::to_string(index);
                 fs::create_symlink(target, link);
                 configuration.executableAliases.emplace(link.string(), "");
             }
             EXPECT_EQ(h.configure(ana, configuration), true);
             const fs::path known = h.home / "bin" / "1";
             const fs::path extra = h.home / "bin" / "extra";
             fs::remove(known);
             fs::create_symlink(other, known);
             fs::create_symlink(other, extra);
             h.controller->observedChange(known.string());
             h.controller->observedChange(extra.string());
             h.dispatch.runPending();
             const auto aliases = h.controller->withConfiguration(
                 ana, [](const auto& current) { return current.executableAliases; });
             EXPECT_EQ(aliases.at(known.string()), other.string());
             return std::to_string(aliases.size()) +
                    (aliases.contains(extra.string()) ? ", new" : ", old");
         },
         "20000, new", "20000, old"},
    };
    for (const Case& test : cases) {
        for (const std::size_t count : {test.limit, test.limit + 1}) {
            SCOPED_TRACE(test.name + ": " + std::to_string(count));
            ProtectionHarness h;
            h.executable("tool", "x");
            EXPECT_EQ(test.run(h, count), count == test.limit ? test.atLimit : test.pastLimit);
        }
    }
}

class ExecutionProtectionControllerTest : public ::testing::Test, public ProtectionHarness {
  protected:
    HeldExecution hold(std::uint32_t uid, double seconds = 100) {
        return ProtectionHarness::hold(uid, candidateFor(tool), true, seconds);
    }

    const fs::path tool = executable("tool", "x");
};

TEST_F(ExecutionProtectionControllerTest, LeavesAFinishedMessageAlone) {
    enable(ana);
    HeldExecution finished(*controller, ana, candidateFor(tool));
    finished.expire();
    EXPECT_FALSE(finished.prepare(clock.now().addingTimeInterval(10)));
    HeldExecution held = hold(ana);
    held.expire();
    EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::block), false);
    for (const HeldExecution& execution : {finished, held}) {
        EXPECT_EQ(execution.answers(), (std::vector<Answer>{{false, "Blocked after timeout"}}));
    }
    EXPECT_TRUE(state(ana).pending.empty());
}

TEST_F(ExecutionProtectionControllerTest, DecisionsAnswerOnlyTheirOwnUsersAwaitedRequests) {
    enable(ana);
    enable(ben);
    struct Case {
        ExecutionDecision decision;
        Answer answer;
    };
    const Case cases[] = {
        {ExecutionDecision::block, {false, "Blocked by user"}},
        {ExecutionDecision::allowOnce, {true, "Allowed once"}},
        {ExecutionDecision::alwaysTrust, {true, "Allowed; saving trust rule"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(rawValue(test.decision));
        const HeldExecution held = hold(ana);
        dispatch.runPending();
        EXPECT_EQ(decide(ana, UUID::random(), test.decision), false);
        EXPECT_EQ(decide(ben, held.id(), test.decision), false);
        EXPECT_TRUE(held.answers().empty());
        EXPECT_EQ(decide(ana, held.id(), test.decision), true);
        // A second decision finds the request no longer awaited.
        EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::block), false);
        EXPECT_EQ(held.answers(), std::vector<Answer>{test.answer});
        EXPECT_EQ(state(ana).outcomes.front().reason, test.answer.reason);
    }
    EXPECT_EQ(state(ana).trustedRuleCount, 1);
}

TEST_F(ExecutionProtectionControllerTest, ListsHeldRequestsIdentifiedEarliestDeadlineFirst) {
    const fs::path script = executable("script.sh", "abc");
    enable(ana);
    ExecutionCandidate changed = candidateFor(tool);
    changed.version.size += 1;  // the file on disk is not the one the exec reported
    const HeldExecution late = ProtectionHarness::hold(ana, candidateFor(script), true, 30);
    const HeldExecution early = ProtectionHarness::hold(ana, changed, true, 10);
    const HeldExecution middle = hold(ana, 20);
    HeldExecution finished = hold(ana, 5);
    finished.expire();  // finished but not yet removed: left out
    // The snapshot runs after the identity jobs on the one queue, so identification is done.
    const ExecutionProtectionState snapshot = state(ana);
    ASSERT_EQ(snapshot.pending.size(), 3u);
    EXPECT_EQ(snapshot.pending[0].id, early.id());
    EXPECT_FALSE(snapshot.pending[0].canAlwaysTrust);
    EXPECT_EQ(snapshot.pending[0].explanation->trust, Trust::identityUnavailable);
    EXPECT_EQ(snapshot.pending[1].id, middle.id());
    const ExecutionExplanation explanation{{ExecutionExplanation::Reason::notInBaseline},
                                           ExecutionExplanation::Signature::unsigned_,
                                           Trust::noMatchingRule,
                                           clock.now(),
                                           snapshot.pending[2].explanation->fileCreatedAt,
                                           "/bin/sh",
                                           ExecutionExplanation::TrustScope::exactContent,
                                           std::nullopt,
                                           std::nullopt};
    EXPECT_EQ(snapshot.pending[2],
              (ExecutionRequest{late.id(), script.string(), "", "",
                                clock.now().addingTimeInterval(30), true, explanation}));

    // Without an identity there is no rule to save.
    EXPECT_EQ(decide(ana, early.id(), ExecutionDecision::alwaysTrust), false);
    EXPECT_TRUE(early.answers().empty());
    EXPECT_EQ(decide(ana, early.id(), ExecutionDecision::allowOnce), true);
    EXPECT_EQ(early.answers(), (std::vector<Answer>{{true, "Allowed once"}}));
}

// Which identities a rule matches is the identification's; here, that the rule is saved and used.
TEST_F(ExecutionProtectionControllerTest, ATrustedContentRunsWithoutAskingNextTime) {
    enable(ana);
    const HeldExecution first =
        ProtectionHarness::hold(ana, candidateFor(executable("script.sh", "echo hello\n")));
    dispatch.runPending();
    ASSERT_EQ(decide(ana, first.id(), ExecutionDecision::alwaysTrust), true);
    const Rule rule{std::nullopt,
                    "5dbad7dd0b9b122dcd9956884390f4aac4738caba8ff53498a7ab6718b176c30"};
    EXPECT_EQ(stored(ana).rules, std::vector{rule});

    // The same content under another name is trusted; other content is not.
    const HeldExecution copy =
        ProtectionHarness::hold(ana, candidateFor(executable("copy.sh", "echo hello\n")));
    const HeldExecution other =
        ProtectionHarness::hold(ana, candidateFor(executable("other.sh", "echo bye\n")));
    dispatch.runPending();
    EXPECT_EQ(copy.answers(), (std::vector<Answer>{{true, "Allowed by trust rule"}}));
    EXPECT_TRUE(other.answers().empty());
    const ExecutionProtectionState snapshot = state(ana);
    EXPECT_EQ(snapshot.outcomes.at(0).reason, "Allowed by trust rule");
    EXPECT_EQ(snapshot.outcomes.at(0).explanation.value().trust, Trust::matchedRule);
}

TEST_F(ExecutionProtectionControllerTest, ProtectionResumesOnlyWithTheNextConfiguration) {
    enable(ana);
    // Enabling an enabled user again changes nothing.
    ExecutionProtectionConfiguration other = settings();
    other.executableRoots = {(home / "elsewhere").string()};
    EXPECT_EQ(configure(ana, other), true);

    restart();
    ExecutionProtectionState snapshot = state(ana);
    EXPECT_FALSE(snapshot.enabled);
    EXPECT_EQ(snapshot.executableRoots, std::vector<std::string>{(home / "bin").string()});
    EXPECT_TRUE(stored(ana).configuration.enabled);
    // Nothing is held while protection is off in memory; what ran is recorded.
    const HeldExecution held = ProtectionHarness::hold(ana, candidateFor(tool), false);
    EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Protect disabled by user"}}));
    dispatch.runPending();
    EXPECT_EQ(reasons(stored(ana).outcomes), std::vector<std::string>{"Protect disabled by user"});

    EXPECT_EQ(configure(ana, settings()), true);
    EXPECT_TRUE(state(ana).enabled);
}

TEST_F(ExecutionProtectionControllerTest, EnablingNeedsTheExecClientDisablingAlwaysApplies) {
    controller->setAvailable(false);
    EXPECT_EQ(configure(ana, settings()), false);
    EXPECT_TRUE(stored(ana).configuration.enabled);  // stored, not in force
    const ExecutionProtectionState snapshot = state(ana);
    EXPECT_FALSE(snapshot.available);
    EXPECT_FALSE(snapshot.enabled);

    controller->setAvailable(true);
    // The rules are the acceptance's; here, the user's own home directory is the one checked
    // against, and a refusal is immediate.
    std::optional<bool> refused;
    controller->configure(ben, "/home/someone", encodeJSONText(settings()),
                          [&](bool result) { refused = result; });
    EXPECT_EQ(refused, false);
    EXPECT_EQ(dispatch.readyCount(), 0u);
    enable(ana);
    enable(ben);
    const HeldExecution first = hold(ana);
    const HeldExecution second = hold(ana);
    const HeldExecution others = hold(ben);
    dispatch.runPending();
    controller->setAvailable(false);
    EXPECT_EQ(configure(ana, settings(false)), true);
    const std::vector<Answer> allowed{{true, "Protect disabled by user"}};
    EXPECT_EQ(first.answers(), allowed);
    EXPECT_EQ(second.answers(), allowed);
    EXPECT_TRUE(others.answers().empty());
    EXPECT_TRUE(state(ana).pending.empty());
    EXPECT_EQ(reasons(state(ana).outcomes),
              (std::vector<std::string>{"Protect disabled by user", "Protect disabled by user"}));
}

TEST_F(ExecutionProtectionControllerTest, StorageProblemsAreReportedPerOperation) {
    store(ana, withOutcomes(8'000));  // a problem message goes before the warning
    enable(ana);
    fs::permissions(storageDirectory, fs::perms::owner_all | fs::perms::others_read);
    const HeldExecution held = hold(ana);
    dispatch.runPending();
    // Allowed and trusted as decided, but neither the rule nor the outcome can be stored.
    EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::alwaysTrust), false);
    EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed; saving trust rule"}}));
    EXPECT_EQ(state(ana).error, "Protection history could not be saved");

    controller->updateReferences(ana, {{tool.string(), clock.now()}});
    dispatch.runPending();
    EXPECT_EQ(state(ana).error, "Protection references could not be updated");
    EXPECT_EQ(state(ben).error, "Protection storage unavailable");
    EXPECT_EQ(exportHistory(ben), "");  // ana is in memory; ben must be read
    EXPECT_EQ(clearHistory(ana), false);
    EXPECT_EQ(clearTrust(ana), false);
}

TEST_F(ExecutionProtectionControllerTest, ExportsAndClearsHistoryAndTrust) {
    EXPECT_EQ(exportHistory(ana), "[]");
    enable(ana);
    const HeldExecution held = hold(ana);
    dispatch.runPending();
    ASSERT_EQ(decide(ana, held.id(), ExecutionDecision::alwaysTrust), true);
    const auto outcomes = decodeJSONText<std::vector<ExecutionOutcome>>(exportHistory(ana));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].id, held.id());

    // A problem message survives clearing trust and goes with clearing the history.
    controller->completed(ana, UUID::random(), tool.string(), true, "Allowed once",
                          ExecutionOutcomeResult::allowed);
    fs::permissions(storageDirectory, fs::perms::owner_all | fs::perms::group_exec);
    dispatch.runPending();
    fs::permissions(storageDirectory, fs::perms::owner_all);
    EXPECT_EQ(clearTrust(ana), true);
    ExecutionProtectionState snapshot = state(ana);
    EXPECT_EQ(snapshot.trustedRuleCount, 0);
    EXPECT_EQ(snapshot.error, "Protection history could not be saved");
    EXPECT_EQ(snapshot.outcomes.size(), 1u);
    EXPECT_EQ(clearHistory(ana), true);
    snapshot = state(ana);
    EXPECT_EQ(snapshot.error, std::nullopt);
    EXPECT_TRUE(snapshot.outcomes.empty());
    EXPECT_EQ(exportHistory(ana), "[]");

    // A user not in memory keeps the rest of the record.
    User user = withOutcomes(1);
    user.configuration = settings();
    user.rules = {Rule{std::nullopt, std::string(64, 'a')}};
    store(ben, user);
    EXPECT_EQ(clearTrust(ben), true);
    user.rules.clear();
    EXPECT_EQ(stored(ben), user);
}

TEST_F(ExecutionProtectionControllerTest, ReplacesReferencesOnlyForAnEnabledUser) {
    const std::map<std::string, Date> references{
        {tool.string(), clock.now().addingTimeInterval(60)}};
    // Protection off: nothing happens.
    controller->updateReferences(ana, references);
    dispatch.runPending();
    EXPECT_FALSE(fs::exists(storageDirectory / "501.json"));

    enable(ana);
    controller->updateReferences(ana, {{"relative/path", clock.now()}});  // refused at once
    EXPECT_EQ(dispatch.readyCount(), 0u);

    controller->updateReferences(ana, references);
    dispatch.runPending();
    EXPECT_EQ(stored(ana).configuration.references, references);
    // The reference is in force: it joins the reasons to hold the executable.
    const HeldExecution held = hold(ana);
    EXPECT_EQ(state(ana).pending.at(0).explanation->reasons,
              (std::vector{ExecutionExplanation::Reason::notInBaseline,
                           ExecutionExplanation::Reason::recentPersistenceReference}));
}

// Aliases: symbolic links under a root and the files they resolve to.
class ExecutableAliasesTest : public ExecutionProtectionControllerTest {
  protected:
    // The aliases in memory, seen through the policy: an alias target outside every root is
    // watched only while it is an alias.
    bool watches(const fs::path& path) {
        return controller->withConfiguration(ana, [&](const auto& configuration) {
            return ExecutionProtectionPolicy::shouldAsk(candidateFor(path), configuration,
                                                        clock.now());
        });
    }

    const fs::path target = home.write("target", "#!/bin/sh\n");
};

TEST_F(ExecutableAliasesTest, ConfigurationKeepsOnlyLinksToRegularFiles) {
    fs::create_directory_symlink(home.path(), home / "bin" / "directory-link");
    fs::create_symlink(target, home / "bin" / "file-link");
    fs::create_symlink(home / "missing", home / "bin" / "dangling");
    ExecutionProtectionConfiguration configuration = settings();
    for (const char* name : {"tool", "directory-link", "file-link", "dangling"}) {
        configuration.executableAliases.emplace((home / "bin" / name).string(), "/sent/ignored");
    }
    ASSERT_EQ(configure(ana, configuration), true);

    const ExecutionProtectionConfiguration stored = this->stored(ana).configuration;
    EXPECT_EQ(
        stored.executableAliases,
        (std::map<std::string, std::string>{{(home / "bin" / "file-link").string(), target}}));
    EXPECT_EQ(stored.baseline, (std::map<std::string, ExecutionFileVersion>{
                                   {target.string(), candidateFor(target).version}}));
    EXPECT_FALSE(watches(target));  // in the baseline as it is
}

TEST_F(ExecutableAliasesTest, ObservedChangesRefreshTheAliasesInMemory) {
    enable(ana);
    const fs::path link = home / "bin" / "link";
    fs::create_symlink(target, link);
    EXPECT_FALSE(watches(target));

    controller->observedChange(link.string());
    controller->observedChange(link.string());
    EXPECT_EQ(dispatch.readyCount(), 1u);  // one refresh at a time
    dispatch.runPending();
    EXPECT_TRUE(watches(target));  // a new target is not in the baseline: asked
    // In memory only until the next save of the user.
    EXPECT_TRUE(stored(ana).configuration.executableAliases.empty());

    fs::remove(link);
    controller->observedChange(link.string());
    dispatch.runPending();
    EXPECT_FALSE(watches(target));

    // A change outside every enabled root is not tracked.
    controller->observedChange(target.string());
    EXPECT_EQ(dispatch.readyCount(), 0u);
}

}  // namespace
}  // namespace quorin::daemon
