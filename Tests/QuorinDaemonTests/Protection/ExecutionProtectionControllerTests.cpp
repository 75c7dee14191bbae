#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include "Protection/HeldExecution.hpp"
#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::HeldExecution;
using testing::ProtectionHarness;
using Answers = std::vector<HeldExecution::Answer>;
using Decision = ExecutionDecision;
using Trust = ExecutionExplanation::Trust;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

User withOutcomes(std::size_t count) {
    const ExecutionOutcome old{UUID::random(), "/old", Date{1}, "Allowed once", true, {}, {}};
    return User{{}, {}, std::vector(count, old)};
}

std::string errorOf(ProtectionHarness& h, std::uint32_t uid) {
    return h.state(uid).error.value_or("no error");
}

// With five users on, `count - 1` executions of users 501, 502, … (32 each) are held, then
// identified or ended before their identity jobs ran. Tells what one more execution of `uid`
// (by default the next in line) meets: "held", or the reason it was blocked at once.
std::string oneMore(ProtectionHarness& h, std::size_t count, bool identified,
                    std::optional<std::uint32_t> uid = std::nullopt) {
    const auto userOf = [](std::size_t index) {
        return ana + static_cast<std::uint32_t>(index / 32);
    };
    for (std::uint32_t user = ana; user < ana + 5; ++user) {
        h.enable(user);
    }
    std::vector<HeldExecution> held;
    for (std::size_t index = 0; index + 1 < count; ++index) {
        held.push_back(h.hold(userOf(index)));
        if (!identified) {
            held.back().expire();
        }
    }
    if (identified) {
        h.dispatch.runPending();
    }
    HeldExecution last(*h.controller, uid.value_or(userOf(count - 1)),
                       h.candidateFor(h.home / "bin" / "tool"));
    const bool isHeld = last.prepare(h.clock.now().addingTimeInterval(100));
    const Answers answers = last.answers();
    return isHeld && answers.empty()                               ? "held"
           : !isHeld && answers.size() == 1 && !answers[0].allowed ? answers[0].reason
                                                                   : "answered otherwise";
}

TEST(ExecutionProtectionLimitsTest, EachLimitHoldsAtItsBoundAndNotPast) {
    using H = ProtectionHarness;
    const std::string full = "Blocked: decision queue full";
    const std::string nearlyFull =
        "Protection history nearly full; export and maintenance required";
    struct Case {
        std::string name;
        std::size_t limit;
        // Brings the controller to `count` of what is limited and tells what the last one met.
        std::function<std::string(H&, std::size_t count)> run;
        std::string atLimit, pastLimit;
    };
    const std::vector<Case> cases{
        {"held per user", 32, [](H& h, auto n) { return oneMore(h, n, true, ana); }, "held", full},
        {"held", 128, [](H& h, auto n) { return oneMore(h, n, true); }, "held", full},
        {"identity jobs", 128, [](H& h, auto n) { return oneMore(h, n, false); }, "held", full},
        {"trust rules; the execution is allowed all the same", 1'000,
         [](H& h, std::size_t count) {
             User user;
             for (std::size_t index = 1; index < count; ++index) {
                 user.rules.push_back(Rule{std::nullopt, std::to_string(index)});
             }
             h.store(ana, user);
             h.enable(ana);
             const HeldExecution held = h.hold(ana);
             h.dispatch.runPending();
             const auto reply = h.decide(ana, held.id(), Decision::alwaysTrust);
             EXPECT_EQ(held.answers(), (Answers{{true, "Allowed; saving trust rule"}}));
             return reply == true ? "saved" : errorOf(h, ana);
         },
         "saved", "Execution allowed once; trust rule was not saved"},
        {"stored outcomes; a snapshot shows the newest 100", 10'000,
         [](H& h, std::size_t count) {
             h.store(ana, withOutcomes(count - 1));
             h.enable(ana);
             const HeldExecution held = h.hold(ana);
             EXPECT_EQ(h.decide(ana, held.id(), Decision::block), true);
             const ExecutionProtectionState snapshot = h.state(ana);
             EXPECT_EQ(snapshot.outcomes.size(), 100u);
             EXPECT_EQ(h.stored(ana).outcomes.size(), std::min<std::size_t>(count, 10'000));
             return snapshot.error.value_or("no error");
         },
         nearlyFull, "Protection history could not be saved"},
        {"stored outcomes without a warning", 7'999,
         [](H& h, std::size_t count) {
             h.store(ana, withOutcomes(count));
             return errorOf(h, ana);
         },
         "no error", nearlyFull},
        {"queued recordings; drained, there is room again", 256,
         [](H& h, std::size_t count) {
             h.enable(ana);
             for (std::size_t index = 0; index <= count; ++index) {
                 if (index == count) {
                     h.dispatch.runPending();
                 }
                 h.controller->completed(ana, UUID::random(), "/x", false, "Blocked by user",
                                         ExecutionOutcomeResult::blocked);
             }
             const std::string error = errorOf(h, ana);  // runs the recordings first
             return error + ", " + std::to_string(h.stored(ana).outcomes.size());
         },
         "no error, 257", "Execution history overflow; some outcomes could not be recorded, 257"},
        {"changed paths awaiting an alias refresh, each once", 1'024,
         [](H& h, std::size_t count) {
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
         [](H& h, std::size_t count) {
             const fs::path target = h.home.write("target", "#!/bin/sh\n");
             const fs::path other = h.home.write("other", "x");
             const fs::path known = h.home / "bin" / "1", extra = h.home / "bin" / "extra";
             ExecutionProtectionConfiguration configuration = h.settings();
             for (std::size_t index = 1; index < count; ++index) {
                 const fs::path link = h.home / "bin" / std::to_string(index);
                 fs::create_symlink(target, link);
                 configuration.executableAliases.emplace(link.string(), "");
             }
             EXPECT_EQ(h.configure(ana, configuration), true);
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
            EXPECT_EQ(test.run(h, count), count == test.limit ? test.atLimit : test.pastLimit);
        }
    }
}

class ExecutionProtectionControllerTest : public ::testing::Test, public ProtectionHarness {
  protected:
    using ProtectionHarness::hold;
    const fs::path tool = home / "bin" / "tool";
};

TEST_F(ExecutionProtectionControllerTest, DecisionsAnswerOnlyTheirOwnUsersAwaitedRequests) {
    enable(ana);
    enable(ben);
    const std::pair<Decision, HeldExecution::Answer> cases[] = {
        {Decision::block, {false, "Blocked by user"}},
        {Decision::allowOnce, {true, "Allowed once"}},
        {Decision::alwaysTrust, {true, "Allowed; saving trust rule"}},
    };
    for (const auto& [decision, answer] : cases) {
        SCOPED_TRACE(answer.reason);
        const HeldExecution held = hold(ana);
        dispatch.runPending();
        EXPECT_EQ(decide(ana, UUID::random(), decision), false);
        EXPECT_EQ(decide(ben, held.id(), decision), false);
        EXPECT_TRUE(held.answers().empty());
        EXPECT_EQ(decide(ana, held.id(), decision), true);
        // A second decision finds the request no longer awaited.
        EXPECT_EQ(decide(ana, held.id(), Decision::block), false);
        EXPECT_EQ(held.answers(), Answers{answer});
    }
    // A message finished before it reaches the controller is left alone.
    HeldExecution finished(*controller, ana, candidateFor(tool));
    finished.expire();
    EXPECT_FALSE(finished.prepare(clock.now().addingTimeInterval(10)));
    EXPECT_EQ(finished.answers(), (Answers{{false, "Blocked after timeout"}}));
    EXPECT_TRUE(state(ana).pending.empty());
}

TEST_F(ExecutionProtectionControllerTest, ListsHeldRequestsIdentifiedEarliestDeadlineFirst) {
    const fs::path script = executable("script.sh", "abc");
    enable(ana);
    ExecutionCandidate changed = candidateFor(tool);
    changed.version.size += 1;  // the file on disk is not the one the exec reported
    const HeldExecution late = hold(ana, candidateFor(script), true, 30);
    const HeldExecution early = hold(ana, changed, true, 10);
    const HeldExecution middle = hold(ana, 20);
    hold(ana, 5).expire();  // finished but not yet removed: left out
    // The snapshot runs after the identity jobs on the one queue, so identification is done.
    const ExecutionProtectionState snapshot = state(ana);
    ASSERT_EQ(snapshot.pending.size(), 3u);
    EXPECT_EQ(snapshot.pending[0].id, early.id());
    EXPECT_FALSE(snapshot.pending[0].canAlwaysTrust);
    EXPECT_EQ(snapshot.pending[0].explanation->trust, Trust::identityUnavailable);
    EXPECT_EQ(snapshot.pending[1].id, middle.id());
    const ExecutionExplanation explanation{
        .reasons = {ExecutionExplanation::Reason::notInBaseline},
        .signature = ExecutionExplanation::Signature::unsigned_,
        .trust = Trust::noMatchingRule,
        .recordedAt = clock.now(),
        .fileCreatedAt = snapshot.pending[2].explanation->fileCreatedAt,
        .initiatingExecutable = "/bin/sh",
        .trustScope = ExecutionExplanation::TrustScope::exactContent,
        .signingID = std::nullopt,
        .teamID = std::nullopt};
    EXPECT_EQ(snapshot.pending[2],
              (ExecutionRequest{late.id(), script.string(), "", "",
                                clock.now().addingTimeInterval(30), true, explanation}));
    // Without an identity there is no rule to save.
    EXPECT_EQ(decide(ana, early.id(), Decision::alwaysTrust), false);
    EXPECT_TRUE(early.answers().empty());
}

// Which identities a rule matches is the identification's; here, that the rule is saved and used.
TEST_F(ExecutionProtectionControllerTest, ATrustedContentRunsWithoutAskingNextTime) {
    enable(ana);
    const auto holdScript = [&](const char* name, const char* content) {
        return hold(ana, candidateFor(executable(name, content)));
    };
    const HeldExecution first = holdScript("script.sh", "echo hello\n");
    dispatch.runPending();
    ASSERT_EQ(decide(ana, first.id(), Decision::alwaysTrust), true);
    const std::string sha256 = "5dbad7dd0b9b122dcd9956884390f4aac4738caba8ff53498a7ab6718b176c30";
    EXPECT_EQ(stored(ana).rules, (std::vector{Rule{std::nullopt, sha256}}));
    // The same content under another name is trusted; other content is not.
    const HeldExecution copy = holdScript("copy.sh", "echo hello\n");
    const HeldExecution other = holdScript("other.sh", "echo bye\n");
    dispatch.runPending();
    EXPECT_EQ(copy.answers(), (Answers{{true, "Allowed by trust rule"}}));
    EXPECT_TRUE(other.answers().empty());
    EXPECT_EQ(state(ana).outcomes.at(0).explanation.value().trust, Trust::matchedRule);
}

TEST_F(ExecutionProtectionControllerTest, ProtectionResumesOnlyWithTheNextConfiguration) {
    enable(ana);
    // Enabling an enabled user again changes nothing.
    ExecutionProtectionConfiguration other = settings();
    other.executableRoots = {(home / "elsewhere").string()};
    EXPECT_EQ(configure(ana, other), true);
    restart();
    const ExecutionProtectionState snapshot = state(ana);
    EXPECT_FALSE(snapshot.enabled);
    EXPECT_EQ(snapshot.executableRoots, std::vector<std::string>{(home / "bin").string()});
    EXPECT_TRUE(stored(ana).configuration.enabled);
    // Nothing is held while protection is off in memory; what ran is recorded.
    EXPECT_EQ(hold(ana, candidateFor(tool), false).answers(),
              (Answers{{true, "Protect disabled by user"}}));
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
    const HeldExecution first = hold(ana), second = hold(ana), others = hold(ben);
    dispatch.runPending();
    controller->setAvailable(false);
    EXPECT_EQ(configure(ana, settings(false)), true);
    for (const HeldExecution& held : {first, second}) {
        EXPECT_EQ(held.answers(), (Answers{{true, "Protect disabled by user"}}));
    }
    EXPECT_TRUE(others.answers().empty());
    EXPECT_EQ(state(ana).outcomes.size(), 2u);  // what ran is recorded
}

// The other operations' failed saves are the store's fault tests'.
TEST_F(ExecutionProtectionControllerTest, ATrustRuleThatCannotBeSavedStillAllowsTheExecution) {
    store(ana, withOutcomes(8'000));  // a problem message goes before the warning
    enable(ana);
    fs::permissions(storageDirectory, fs::perms::owner_all | fs::perms::others_read);
    const HeldExecution held = hold(ana);
    dispatch.runPending();
    // Allowed and trusted as decided, but neither the rule nor the outcome can be stored.
    EXPECT_EQ(decide(ana, held.id(), Decision::alwaysTrust), false);
    EXPECT_EQ(held.answers(), (Answers{{true, "Allowed; saving trust rule"}}));
    EXPECT_EQ(state(ana).error, "Protection history could not be saved");
}

TEST_F(ExecutionProtectionControllerTest, ExportsAndClearsHistoryAndTrust) {
    EXPECT_EQ(exportHistory(ana), "[]");
    enable(ana);
    const HeldExecution held = hold(ana);
    dispatch.runPending();
    ASSERT_EQ(decide(ana, held.id(), Decision::alwaysTrust), true);
    EXPECT_EQ(decodeJSONText<std::vector<ExecutionOutcome>>(exportHistory(ana)),
              stored(ana).outcomes);
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
    EXPECT_EQ(state(ana).error, std::nullopt);
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
    controller->updateReferences(ana, references);  // protection off: nothing happens
    dispatch.runPending();
    EXPECT_FALSE(fs::exists(storageDirectory / "501.json"));
    enable(ana);
    controller->updateReferences(ana, {{"relative/path", clock.now()}});  // refused at once
    EXPECT_EQ(dispatch.readyCount(), 0u);
    controller->updateReferences(ana, references);
    dispatch.runPending();
    EXPECT_EQ(stored(ana).configuration.references, references);
    // The reference is in force: it joins the reasons to hold the executable.
    hold(ana);
    EXPECT_EQ(state(ana).pending.at(0).explanation->reasons,
              (std::vector{ExecutionExplanation::Reason::notInBaseline,
                           ExecutionExplanation::Reason::recentPersistenceReference}));
}

// Aliases: symbolic links under a root and the regular files they resolve to.
TEST_F(ExecutionProtectionControllerTest, AliasesAreLinksToRegularFilesRefreshedInMemory) {
    // The aliases in memory, seen through the policy: a target outside every root is watched
    // only while it is an alias, unless it is in the baseline as it is.
    const auto watches = [&](const fs::path& path) {
        return controller->withConfiguration(ana, [&](const auto& configuration) {
            return ExecutionProtectionPolicy::shouldAsk(candidateFor(path), configuration,
                                                        clock.now());
        });
    };
    const fs::path target = home.write("target", "#!/bin/sh\n"), fresh = home.write("fresh", "x");
    const fs::path link = home / "bin" / "link";
    fs::create_directory_symlink(home.path(), home / "bin" / "directory-link");
    fs::create_symlink(target, home / "bin" / "file-link");
    fs::create_symlink(home / "missing", home / "bin" / "dangling");
    ExecutionProtectionConfiguration configuration = settings();
    for (const char* name : {"tool", "directory-link", "file-link", "dangling"}) {
        configuration.executableAliases.emplace((home / "bin" / name).string(), "/sent/ignored");
    }
    ASSERT_EQ(configure(ana, configuration), true);
    const ExecutionProtectionConfiguration kept = stored(ana).configuration;
    EXPECT_EQ(
        kept.executableAliases,
        (std::map<std::string, std::string>{{(home / "bin" / "file-link").string(), target}}));
    EXPECT_EQ(kept.baseline, (std::map<std::string, ExecutionFileVersion>{
                                 {target.string(), candidateFor(target).version}}));
    EXPECT_FALSE(watches(target));
    fs::create_symlink(fresh, link);
    EXPECT_FALSE(watches(fresh));
    controller->observedChange(link.string());
    controller->observedChange(link.string());
    EXPECT_EQ(dispatch.readyCount(), 1u);  // one refresh at a time
    dispatch.runPending();
    EXPECT_TRUE(watches(fresh));
    // In memory only until the next save of the user.
    EXPECT_EQ(stored(ana).configuration.executableAliases, kept.executableAliases);
    fs::remove(link);
    controller->observedChange(link.string());
    dispatch.runPending();
    EXPECT_FALSE(watches(fresh));
    controller->observedChange(fresh.string());  // outside every enabled root: not tracked
    EXPECT_EQ(dispatch.readyCount(), 0u);
}

}  // namespace
}  // namespace quorin::daemon
