#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "Protection/HeldExecution.hpp"
#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::FakeCodeSigning;
using testing::HeldExecution;
using testing::ManualDispatch;
using Answer = HeldExecution::Answer;
using Signature = ExecutionExplanation::Signature;
using Trust = ExecutionExplanation::Trust;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

class ExecutionProtectionControllerTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directory(root); }

    std::unique_ptr<ExecutionProtectionController> makeController() {
        return std::make_unique<ExecutionProtectionController>(storageDirectory, dispatch, signing,
                                                               clock);
    }

    ExecutionProtectionConfiguration settings(bool enabled = true) const {
        ExecutionProtectionConfiguration configuration;
        configuration.enabled = enabled;
        configuration.executableRoots = {root.string()};
        return configuration;
    }

    std::optional<bool> configure(std::uint32_t uid,
                                  const ExecutionProtectionConfiguration& configuration) {
        std::optional<bool> reply;
        controller->configure(uid, home.path().string(), encodeJSONText(configuration),
                              [&](bool result) { reply = result; });
        dispatch.runPending();
        return reply;
    }

    void enable(std::uint32_t uid) {
        controller->setAvailable(true);
        ASSERT_EQ(configure(uid, settings()), true);
    }

    ExecutionProtectionState state(std::uint32_t uid) {
        std::optional<std::string> data;
        controller->state(uid, [&](std::string bytes) { data = std::move(bytes); });
        dispatch.runPending();
        EXPECT_TRUE(data.has_value());
        return decodeJSONText<ExecutionProtectionState>(data.value_or("{}"));
    }

    std::optional<bool> decide(std::uint32_t uid, const UUID& id, ExecutionDecision decision) {
        std::optional<bool> reply;
        controller->decide(uid, id, decision, [&](bool result) { reply = result; });
        dispatch.runPending();
        return reply;
    }

    std::optional<bool> boolRequest(void (ExecutionProtectionController::*request)(
                                        std::uint32_t, ExecutionProtectionController::BoolReply),
                                    std::uint32_t uid) {
        std::optional<bool> reply;
        ((*controller).*request)(uid, [&](bool result) { reply = result; });
        dispatch.runPending();
        return reply;
    }

    std::string exportHistory(std::uint32_t uid) {
        std::optional<std::string> data;
        controller->exportHistory(uid, [&](std::string bytes) { data = std::move(bytes); });
        dispatch.runPending();
        EXPECT_TRUE(data.has_value());
        return data.value_or("");
    }

    fs::path executable(const std::string& name, const std::string& content) {
        const fs::path path = home.write("bin/" + name, content);
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    static ExecutionCandidate candidateFor(const fs::path& path) {
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
        return ExecutionCandidate{path.string(), fileVersion(status), false, false, false, "", "",
                                  "/bin/sh"};
    }

    // An execution the controller is asked to hold; `held`: whether it must be.
    HeldExecution hold(std::uint32_t uid, const ExecutionCandidate& candidate, bool held = true,
                       double deadline = 100) {
        HeldExecution execution(*controller, uid, candidate);
        EXPECT_EQ(execution.prepare(clock.now().addingTimeInterval(deadline)), held);
        return execution;
    }
    HeldExecution hold(std::uint32_t uid, const fs::path& path, double deadline = 100) {
        return hold(uid, candidateFor(path), true, deadline);
    }

    // A user with `count` outcomes recorded long ago.
    static User withOutcomes(std::size_t count) {
        User user;
        user.outcomes.assign(count,
                             ExecutionOutcome{UUID::random(), "/old", Date{1}, "Allowed once", true,
                                              ExecutionOutcomeResult::allowed, std::nullopt});
        return user;
    }

    User stored(std::uint32_t uid) const { return ProtectionStorage(storageDirectory).load(uid); }
    void store(std::uint32_t uid, const User& user) const {
        ProtectionStorage(storageDirectory).save(user, uid);
    }

    static std::vector<std::string> reasons(const std::vector<ExecutionOutcome>& outcomes) {
        std::vector<std::string> texts;
        for (const ExecutionOutcome& outcome : outcomes) {
            texts.push_back(outcome.reason);
        }
        return texts;
    }

    quorin::testing::TemporaryDirectory home;
    const std::string storageDirectory = (home / "storage").string();
    const fs::path root = home / "bin";
    ManualDispatch dispatch;
    FakeCodeSigning signing;
    FakeClock clock;
    std::unique_ptr<ExecutionProtectionController> controller = makeController();
};

TEST_F(ExecutionProtectionControllerTest, LeavesAFinishedMessageAlone) {
    enable(ana);
    const fs::path tool = executable("tool", "x");
    HeldExecution finished(*controller, ana, candidateFor(tool));
    finished.expire();
    EXPECT_FALSE(finished.prepare(clock.now().addingTimeInterval(10)));
    HeldExecution held = hold(ana, tool);
    held.expire();
    EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::block), false);
    for (const HeldExecution& execution : {finished, held}) {
        EXPECT_EQ(execution.answers(), (std::vector<Answer>{{false, "Blocked after timeout"}}));
    }
    dispatch.runPending();
    EXPECT_TRUE(state(ana).pending.empty());
}

TEST_F(ExecutionProtectionControllerTest, BlocksBeyondTheQueueLimits) {
    const fs::path tool = executable("tool", "x");
    struct Case {
        const char* name;
        std::uint32_t users;  // users 501... holding 32 executions each
        bool expireHeld;      // they end before their identity jobs run
        std::uint32_t lastUser;
    };
    const Case cases[] = {
        {"33rd of one user", 1, false, 501},
        {"129th overall", 4, false, 505},
        {"129th identity job", 4, true, 505},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        controller = makeController();
        for (std::uint32_t uid = 501; uid <= 505; ++uid) {
            enable(uid);
        }
        std::vector<HeldExecution> held;
        for (std::uint32_t uid = 501; uid < 501 + test.users; ++uid) {
            for (int index = 0; index < 32; ++index) {
                held.push_back(hold(uid, tool));
            }
        }
        if (test.expireHeld) {
            for (HeldExecution& execution : held) {
                execution.expire();
            }
            // Their identity and recording jobs wait: nothing is held, 128 jobs count.
            ASSERT_EQ(dispatch.readyCount(), 256u);
        } else {
            dispatch.runPending();  // identified; the executions stay held
        }
        const HeldExecution last = hold(test.lastUser, candidateFor(tool), false);
        EXPECT_EQ(last.answers(), (std::vector<Answer>{{false, "Blocked: decision queue full"}}));
        dispatch.runPending();
    }
}

TEST_F(ExecutionProtectionControllerTest, HoldsUpToTheLimitsExactly) {
    const fs::path tool = executable("tool", "x");
    enable(ana);
    enable(ben);
    std::vector<HeldExecution> held;
    for (int index = 0; index < 31; ++index) {
        held.push_back(hold(ana, tool));
    }
    dispatch.runPending();
    const HeldExecution thirtySecond = hold(ana, tool);
    // Another user still has room while this one is full.
    const HeldExecution other = hold(ben, tool);
    dispatch.runPending();
    EXPECT_EQ(state(ana).pending.size(), 32u);
    EXPECT_EQ(state(ben).pending.size(), 1u);
}

TEST_F(ExecutionProtectionControllerTest, IdentifiesAHeldExecutionAndExplainsIt) {
    const fs::path script = executable("script.sh", "abc");
    enable(ana);
    const HeldExecution held = hold(ana, script);
    // The snapshot runs after the identity job on the one queue, so identification is done.
    const ExecutionProtectionState snapshot = state(ana);
    ASSERT_EQ(snapshot.pending.size(), 1u);
    const ExecutionRequest& request = snapshot.pending[0];
    ASSERT_TRUE(request.explanation.has_value());
    const ExecutionExplanation explanation{{ExecutionExplanation::Reason::notInBaseline},
                                           Signature::unsigned_,
                                           Trust::noMatchingRule,
                                           clock.now(),
                                           request.explanation->fileCreatedAt,
                                           "/bin/sh",
                                           ExecutionExplanation::TrustScope::exactContent,
                                           std::nullopt,
                                           std::nullopt};
    EXPECT_EQ(request, (ExecutionRequest{held.id(), script.string(), "", "",
                                         clock.now().addingTimeInterval(100), true, explanation}));
    EXPECT_TRUE(held.answers().empty());
}

TEST_F(ExecutionProtectionControllerTest, AnExecutableWithoutIdentityCannotBeTrustedForever) {
    const fs::path tool = executable("tool", "abc");
    enable(ana);
    ExecutionCandidate changed = candidateFor(tool);
    changed.version.size += 1;  // the file on disk is not the one the exec reported
    const HeldExecution held = hold(ana, changed);
    const ExecutionProtectionState snapshot = state(ana);
    ASSERT_EQ(snapshot.pending.size(), 1u);
    EXPECT_FALSE(snapshot.pending[0].canAlwaysTrust);
    EXPECT_EQ(snapshot.pending[0].explanation->trust, Trust::identityUnavailable);

    EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::alwaysTrust), false);
    EXPECT_TRUE(held.answers().empty());
    EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::allowOnce), true);
    EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed once"}}));
}

TEST_F(ExecutionProtectionControllerTest, DecisionsAnswerOnlyTheirOwnUsersAwaitedRequests) {
    const fs::path tool = executable("tool", "x");
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
        const HeldExecution held = hold(ana, tool);
        dispatch.runPending();
        EXPECT_EQ(decide(ana, UUID::random(), test.decision), false);
        EXPECT_EQ(decide(ben, held.id(), test.decision), false);
        EXPECT_TRUE(held.answers().empty());
        EXPECT_EQ(decide(ana, held.id(), test.decision), true);
        EXPECT_EQ(held.answers(), std::vector<Answer>{test.answer});
        // A second decision finds the request no longer awaited.
        EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::block), false);
        EXPECT_EQ(held.answers(), std::vector<Answer>{test.answer});
        EXPECT_EQ(state(ana).outcomes.front().reason, test.answer.reason);
    }
    EXPECT_EQ(state(ana).trustedRuleCount, 1);
}

TEST_F(ExecutionProtectionControllerTest, ATrustedContentRunsWithoutAskingNextTime) {
    const fs::path script = executable("script.sh", "echo hello\n");
    enable(ana);
    const HeldExecution first = hold(ana, script);
    dispatch.runPending();
    ASSERT_EQ(decide(ana, first.id(), ExecutionDecision::alwaysTrust), true);
    ASSERT_EQ(stored(ana).rules.size(), 1u);
    EXPECT_TRUE(stored(ana).rules[0].sha256.has_value());

    // The same content under another name is trusted; other content is not.
    const fs::path copy = executable("copy.sh", "echo hello\n");
    const HeldExecution second = hold(ana, copy);
    const HeldExecution other = hold(ana, executable("other.sh", "echo bye\n"));
    dispatch.runPending();
    EXPECT_EQ(second.answers(), (std::vector<Answer>{{true, "Allowed by trust rule"}}));
    EXPECT_TRUE(other.answers().empty());
    const ExecutionProtectionState snapshot = state(ana);
    ASSERT_EQ(snapshot.outcomes.size(), 2u);
    EXPECT_EQ(snapshot.outcomes[0].reason, "Allowed by trust rule");
    ASSERT_TRUE(snapshot.outcomes[0].explanation.has_value());
    EXPECT_EQ(snapshot.outcomes[0].explanation->trust, Trust::matchedRule);
    EXPECT_EQ(snapshot.pending.size(), 1u);
}

TEST_F(ExecutionProtectionControllerTest, APublisherRuleTrustsLaterBuildsOfTheSameIdentity) {
    const fs::path tool = executable("tool", "build 1");
    const FakeCodeSigning::Signature signature{"TEAM123", "com.example.tool",
                                               "identifier \"com.example.tool\""};
    signing.sign(tool.string(), signature);
    enable(ana);
    auto signedCandidate = [&] {
        ExecutionCandidate candidate = candidateFor(tool);
        candidate.validSignature = true;
        candidate.teamID = "TEAM123";
        candidate.signingID = "com.example.tool";
        return candidate;
    };
    const HeldExecution first = hold(ana, signedCandidate());
    dispatch.runPending();
    const ExecutionProtectionState snapshot = state(ana);
    ASSERT_EQ(snapshot.pending.size(), 1u);
    EXPECT_EQ(snapshot.pending[0].explanation->signature, Signature::verifiedPublisher);
    EXPECT_EQ(snapshot.pending[0].explanation->teamID, "TEAM123");
    ASSERT_EQ(decide(ana, first.id(), ExecutionDecision::alwaysTrust), true);
    const Rule pinnedRule{
        pinnedRequirement(signature.designatedRequirement, "TEAM123", "com.example.tool"),
        std::nullopt};
    EXPECT_EQ(stored(ana).rules, std::vector{pinnedRule});

    fs::remove(tool);
    executable("tool", "build 2, other content");
    const HeldExecution second = hold(ana, signedCandidate());
    dispatch.runPending();
    EXPECT_EQ(second.answers(), (std::vector<Answer>{{true, "Allowed by trust rule"}}));
}

TEST_F(ExecutionProtectionControllerTest, TheThousandthRuleIsTheLast) {
    const fs::path tool = executable("tool", "x");
    User user;
    for (int index = 0; index < 999; ++index) {
        user.rules.push_back(Rule{std::nullopt, std::to_string(index)});
    }
    store(ana, user);
    enable(ana);
    const HeldExecution thousandth = hold(ana, tool);
    dispatch.runPending();
    EXPECT_EQ(decide(ana, thousandth.id(), ExecutionDecision::alwaysTrust), true);
    EXPECT_EQ(state(ana).trustedRuleCount, 1000);

    const HeldExecution beyond = hold(ana, executable("other", "y"));
    dispatch.runPending();
    EXPECT_EQ(decide(ana, beyond.id(), ExecutionDecision::alwaysTrust), false);
    // The execution is allowed all the same; only the rule is lost.
    EXPECT_EQ(beyond.answers(), (std::vector<Answer>{{true, "Allowed; saving trust rule"}}));
    const ExecutionProtectionState snapshot = state(ana);
    EXPECT_EQ(snapshot.trustedRuleCount, 1000);
    EXPECT_EQ(snapshot.error, "Execution allowed once; trust rule was not saved");
    EXPECT_EQ(stored(ana).rules.size(), 1000u);
}

TEST_F(ExecutionProtectionControllerTest, TheTenThousandthOutcomeIsTheLast) {
    const fs::path tool = executable("tool", "x");
    store(ana, withOutcomes(9'999));
    enable(ana);
    HeldExecution held = hold(ana, tool);
    EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::block), true);
    ExecutionProtectionState snapshot = state(ana);
    EXPECT_EQ(snapshot.outcomes.size(), 100u);
    EXPECT_EQ(snapshot.outcomes.front().id, held.id());
    EXPECT_EQ(snapshot.outcomes.front().date, clock.now());
    EXPECT_EQ(snapshot.error, "Protection history nearly full; export and maintenance required");
    EXPECT_EQ(stored(ana).outcomes.size(), 10'000u);

    HeldExecution lost = hold(ana, tool);
    EXPECT_EQ(decide(ana, lost.id(), ExecutionDecision::block), true);
    snapshot = state(ana);
    EXPECT_EQ(snapshot.error, "Protection history could not be saved");
    EXPECT_EQ(snapshot.outcomes.front().id, held.id());
    EXPECT_EQ(stored(ana).outcomes.size(), 10'000u);
}

TEST_F(ExecutionProtectionControllerTest, WarnsFromEightThousandOutcomesUnlessAnotherErrorIsSet) {
    struct Case {
        std::size_t outcomes;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {7'999, std::nullopt},
        {8'000, "Protection history nearly full; export and maintenance required"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.outcomes);
        controller = makeController();
        store(ana, withOutcomes(test.outcomes));
        EXPECT_EQ(state(ana).error, test.error);
    }
    // Another problem message takes precedence over the warning (8,000 outcomes are loaded).
    fs::permissions(storageDirectory, fs::perms::owner_all | fs::perms::group_read);
    controller->setAvailable(true);
    EXPECT_EQ(configure(ana, settings()), false);
    EXPECT_EQ(state(ana).error, "Protection storage unavailable");
}

TEST_F(ExecutionProtectionControllerTest, ListsHeldRequestsEarliestDeadlineFirst) {
    const fs::path tool = executable("tool", "x");
    enable(ana);
    const HeldExecution late = hold(ana, tool, 30);
    const HeldExecution early = hold(ana, tool, 10);
    const HeldExecution middle = hold(ana, tool, 20);
    HeldExecution finished = hold(ana, tool, 5);
    finished.expire();  // finished but not yet removed: left out
    const ExecutionProtectionState snapshot = state(ana);
    std::vector<UUID> order;
    for (const ExecutionRequest& request : snapshot.pending) {
        order.push_back(request.id);
    }
    EXPECT_EQ(order, (std::vector<UUID>{early.id(), middle.id(), late.id()}));
}

TEST_F(ExecutionProtectionControllerTest, LosesOutcomesBeyondTwoHundredFiftySixRecordingJobs) {
    enable(ana);
    const std::string path = executable("tool", "x").string();
    // Recording jobs wait on the queue until the test runs it.
    for (int index = 0; index < 257; ++index) {
        controller->completed(ana, UUID::random(), path, false, "Blocked by user",
                              ExecutionOutcomeResult::blocked);
    }
    const ExecutionProtectionState snapshot = state(ana);
    EXPECT_EQ(snapshot.error, "Execution history overflow; some outcomes could not be recorded");
    EXPECT_EQ(stored(ana).outcomes.size(), 256u);
    // With the queue drained there is room again.
    controller->completed(ana, UUID::random(), path, false, "Blocked by user",
                          ExecutionOutcomeResult::blocked);
    dispatch.runPending();
    EXPECT_EQ(stored(ana).outcomes.size(), 257u);
}

TEST_F(ExecutionProtectionControllerTest, ProtectionResumesOnlyWithTheNextConfiguration) {
    enable(ana);
    EXPECT_TRUE(state(ana).enabled);

    controller = makeController();  // the daemon restarts
    controller->setAvailable(true);
    ExecutionProtectionState snapshot = state(ana);
    EXPECT_FALSE(snapshot.enabled);
    EXPECT_EQ(snapshot.executableRoots, std::vector<std::string>{root.string()});
    EXPECT_TRUE(stored(ana).configuration.enabled);
    // Nothing is held while protection is off in memory; what ran is recorded.
    const HeldExecution held = hold(ana, candidateFor(executable("tool", "x")), false);
    EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Protect disabled by user"}}));
    dispatch.runPending();
    EXPECT_EQ(reasons(stored(ana).outcomes), std::vector<std::string>{"Protect disabled by user"});

    EXPECT_EQ(configure(ana, settings()), true);
    EXPECT_TRUE(state(ana).enabled);
}

TEST_F(ExecutionProtectionControllerTest, ConfiguringAnEnabledUserAgainChangesNothing) {
    enable(ana);
    ExecutionProtectionConfiguration other = settings();
    other.executableRoots = {(home / "elsewhere").string()};
    EXPECT_EQ(configure(ana, other), true);
    EXPECT_EQ(state(ana).executableRoots, std::vector<std::string>{root.string()});
    EXPECT_EQ(stored(ana).configuration.executableRoots, std::vector<std::string>{root.string()});
}

TEST_F(ExecutionProtectionControllerTest, EnablingNeedsTheExecClientDisablingAlwaysApplies) {
    controller->setAvailable(false);
    EXPECT_EQ(configure(ana, settings()), false);
    EXPECT_TRUE(stored(ana).configuration.enabled);  // stored, not in force
    ExecutionProtectionState snapshot = state(ana);
    EXPECT_FALSE(snapshot.available);
    EXPECT_FALSE(snapshot.enabled);

    EXPECT_EQ(configure(ben, settings(false)), true);
}

// The rules themselves are the acceptance's; here, that the user's own home directory is the one
// checked against and that a refusal is immediate.
TEST_F(ExecutionProtectionControllerTest, RefusesConfigurationsThatFailAcceptance) {
    controller->setAvailable(true);
    std::optional<bool> reply;
    controller->configure(ana, "/home/someone", encodeJSONText(settings()),
                          [&](bool result) { reply = result; });
    EXPECT_EQ(reply, false);  // at once, nothing queued
    EXPECT_EQ(dispatch.readyCount(), 0u);
    EXPECT_FALSE(fs::exists(home / "storage" / "501.json"));
}

TEST_F(ExecutionProtectionControllerTest, DisablingAllowsEveryHeldExecutionOfTheUser) {
    const fs::path tool = executable("tool", "x");
    enable(ana);
    enable(ben);
    const HeldExecution first = hold(ana, tool);
    const HeldExecution second = hold(ana, tool);
    const HeldExecution others = hold(ben, tool);
    dispatch.runPending();
    EXPECT_EQ(configure(ana, settings(false)), true);
    const std::vector<Answer> allowed{{true, "Protect disabled by user"}};
    EXPECT_EQ(first.answers(), allowed);
    EXPECT_EQ(second.answers(), allowed);
    EXPECT_TRUE(others.answers().empty());
    const ExecutionProtectionState snapshot = state(ana);
    EXPECT_FALSE(snapshot.enabled);
    EXPECT_TRUE(snapshot.pending.empty());
    EXPECT_EQ(reasons(snapshot.outcomes),
              (std::vector<std::string>{"Protect disabled by user", "Protect disabled by user"}));
}

TEST_F(ExecutionProtectionControllerTest, StorageProblemsAreReportedPerOperation) {
    enable(ana);
    fs::permissions(storageDirectory, fs::perms::owner_all | fs::perms::others_read);
    const HeldExecution held = hold(ana, executable("tool", "x"));
    dispatch.runPending();
    // Allowed and trusted as decided, but neither the rule nor the outcome can be stored.
    EXPECT_EQ(decide(ana, held.id(), ExecutionDecision::alwaysTrust), false);
    EXPECT_EQ(held.answers(), (std::vector<Answer>{{true, "Allowed; saving trust rule"}}));
    EXPECT_EQ(state(ana).error, "Protection history could not be saved");

    controller->updateReferences(ana, {{(root / "tool").string(), clock.now()}});
    dispatch.runPending();
    EXPECT_EQ(state(ana).error, "Protection references could not be updated");
    EXPECT_EQ(state(ben).error, "Protection storage unavailable");
    EXPECT_EQ(exportHistory(ben), "");  // ana is in memory; ben must be read
    EXPECT_EQ(boolRequest(&ExecutionProtectionController::clearHistory, ana), false);
    EXPECT_EQ(boolRequest(&ExecutionProtectionController::clearTrust, ana), false);
}

TEST_F(ExecutionProtectionControllerTest, ExportsAndClearsHistoryAndTrust) {
    EXPECT_EQ(exportHistory(ana), "[]");
    const fs::path tool = executable("tool", "x");
    enable(ana);
    const HeldExecution held = hold(ana, tool);
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
    EXPECT_EQ(boolRequest(&ExecutionProtectionController::clearTrust, ana), true);
    ExecutionProtectionState snapshot = state(ana);
    EXPECT_EQ(snapshot.trustedRuleCount, 0);
    EXPECT_EQ(snapshot.error, "Protection history could not be saved");
    EXPECT_EQ(snapshot.outcomes.size(), 1u);
    EXPECT_EQ(boolRequest(&ExecutionProtectionController::clearHistory, ana), true);
    snapshot = state(ana);
    EXPECT_EQ(snapshot.error, std::nullopt);
    EXPECT_TRUE(snapshot.outcomes.empty());
    EXPECT_EQ(exportHistory(ana), "[]");
}

TEST_F(ExecutionProtectionControllerTest, ClearingTrustOfAnUnloadedUserKeepsTheRest) {
    User user = withOutcomes(1);
    user.configuration = settings();
    user.rules = {Rule{std::nullopt, std::string(64, 'a')}};
    store(ana, user);
    EXPECT_EQ(boolRequest(&ExecutionProtectionController::clearTrust, ana), true);
    user.rules.clear();
    EXPECT_EQ(stored(ana), user);
}

TEST_F(ExecutionProtectionControllerTest, ReplacesReferencesOnlyForAnEnabledUser) {
    const std::string tool = (root / "tool").string();
    const std::map<std::string, Date> references{{tool, clock.now().addingTimeInterval(60)}};
    // Protection off: nothing happens.
    controller->updateReferences(ana, references);
    dispatch.runPending();
    EXPECT_FALSE(fs::exists(home / "storage" / "501.json"));

    enable(ana);
    controller->updateReferences(ana, {{"relative/path", clock.now()}});  // refused at once
    EXPECT_EQ(dispatch.readyCount(), 0u);

    controller->updateReferences(ana, references);
    dispatch.runPending();
    EXPECT_EQ(stored(ana).configuration.references, references);
    // The reference is in force: it joins the reasons to hold the executable.
    const HeldExecution held = hold(ana, executable("tool", "x"));
    EXPECT_EQ(state(ana).pending.at(0).explanation->reasons,
              (std::vector{ExecutionExplanation::Reason::notInBaseline,
                           ExecutionExplanation::Reason::recentPersistenceReference}));
}

// Aliases: symbolic links under a root and the files they resolve to.
class ExecutableAliasesTest : public ExecutionProtectionControllerTest {
  protected:
    void SetUp() override {
        ExecutionProtectionControllerTest::SetUp();
        fs::create_directory(home / "elsewhere");
        target = home.write("elsewhere/target", "#!/bin/sh\n");
    }

    std::map<std::string, std::string> aliases(std::uint32_t uid) {
        (void)state(uid);
        return stored(uid).configuration.executableAliases;
    }

    // The aliases in memory, seen through the policy: an alias target outside every root is
    // watched only while it is an alias.
    bool watches(const fs::path& path) {
        return controller->withConfiguration(ana, [&](const auto& configuration) {
            return !ExecutionProtectionPolicy::reasons(candidateFor(path), configuration,
                                                       clock.now())
                        .empty();
        });
    }

    fs::path target;
};

TEST_F(ExecutableAliasesTest, ConfigurationKeepsOnlyLinksToRegularFiles) {
    executable("plain", "x");
    fs::create_directory_symlink(home / "elsewhere", root / "directory-link");
    fs::create_symlink(target, root / "file-link");
    fs::create_symlink(home / "missing", root / "dangling");
    ExecutionProtectionConfiguration configuration = settings();
    for (const char* name : {"plain", "directory-link", "file-link", "dangling"}) {
        configuration.executableAliases.emplace((root / name).string(), "/sent/target/ignored");
    }
    controller->setAvailable(true);
    ASSERT_EQ(configure(ana, configuration), true);

    const ExecutionProtectionConfiguration stored = this->stored(ana).configuration;
    EXPECT_EQ(stored.executableAliases,
              (std::map<std::string, std::string>{{(root / "file-link").string(), target}}));
    struct stat status {};
    ASSERT_EQ(::lstat(target.c_str(), &status), 0);
    EXPECT_EQ(
        stored.baseline,
        (std::map<std::string, ExecutionFileVersion>{{target.string(), fileVersion(status)}}));
    EXPECT_FALSE(watches(target));  // in the baseline as it is
}

TEST_F(ExecutableAliasesTest, ObservedChangesRefreshTheAliasesInMemory) {
    enable(ana);
    const fs::path link = root / "link";
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
    controller->observedChange((home / "elsewhere" / "target").string());
    EXPECT_EQ(dispatch.readyCount(), 0u);
}

TEST_F(ExecutableAliasesTest, OverflowingTheChangedPathsMarksEveryLoadedUser) {
    enable(ana);
    (void)state(ben);  // loaded, protection off
    for (int index = 0; index < 1'024; ++index) {
        controller->observedChange((root / std::to_string(index)).string());
    }
    // A path already waiting is accepted; a new one overflows.
    controller->observedChange((root / "0").string());
    EXPECT_EQ(state(ana).error, std::nullopt);
    for (int index = 0; index < 1'024; ++index) {
        controller->observedChange((root / std::to_string(index)).string());
    }
    controller->observedChange((root / "new").string());
    EXPECT_EQ(state(ana).error, "Executable alias observation overflow");
    EXPECT_EQ(state(ben).error, "Executable alias observation overflow");
}

TEST_F(ExecutableAliasesTest, AFullAliasMapStillFollowsItsLinks) {
    // 20,000 links to the target: the most a configuration may carry.
    ExecutionProtectionConfiguration configuration = settings();
    for (int index = 0; index < 20'000; ++index) {
        const fs::path link = root / std::to_string(index);
        fs::create_symlink(target, link);
        configuration.executableAliases.emplace(link.string(), "");
    }
    controller->setAvailable(true);
    ASSERT_EQ(configure(ana, configuration), true);
    const fs::path other = home.write("elsewhere/other", "x");
    const fs::path known = root / "0";
    fs::remove(known);
    fs::create_symlink(other, known);
    const fs::path extra = root / "extra";
    fs::create_symlink(other, extra);
    controller->observedChange(known.string());
    controller->observedChange(extra.string());
    dispatch.runPending();
    const auto inMemory = controller->withConfiguration(
        ana, [](const auto& current) { return current.executableAliases; });
    EXPECT_EQ(inMemory.size(), 20'000u);
    EXPECT_EQ(inMemory.at(known.string()), other.string());
    EXPECT_FALSE(inMemory.contains(extra.string()));
}

}  // namespace
}  // namespace quorin::daemon
