#include "QuorinDaemon/Protection/ESExecutionClient.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Protection/HeldExecution.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace quorin::daemon::testing;
using Lines = std::vector<std::string>;

constexpr std::uint32_t ana = 501;
constexpr auto allow = "es_respond_auth_result(ES_AUTH_RESULT_ALLOW)";
constexpr auto deny = "es_respond_auth_result(ES_AUTH_RESULT_DENY)";
constexpr auto allowOnce = ExecutionDecision::allowOnce;
constexpr auto refused = es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL;

// The lines of `all`, from the `from`th on, that start with one of `prefixes`, in order.
Lines starting(const Lines& all, std::initializer_list<std::string_view> prefixes,
               std::size_t from = 0) {
    Lines result;
    std::copy_if(all.begin() + static_cast<std::ptrdiff_t>(from), all.end(),
                 std::back_inserter(result), [&](const std::string& line) {
                     return std::any_of(
                         prefixes.begin(), prefixes.end(),
                         [&](std::string_view prefix) { return line.starts_with(prefix); });
                 });
    return result;
}

// The controller harness with the exec client in front of it; ana's scripts are under "bin".
class ESExecutionClientTest : public ::testing::Test, public ProtectionHarness {
  protected:
    void SetUp() override {
        executable("interpreter", "interpreter");
        executable("script.sh", "script.sh");
    }

    // Whatever is still held runs out of time: every message is answered and released once.
    void TearDown() override {
        dispatch.advance(60s);
        dispatch.runPending();
        EXPECT_EQ(endpointSecurity.duplicateAnswers(), 0u);
        EXPECT_EQ(endpointSecurity.overReleasedMessages(), 0u);
        EXPECT_TRUE(endpointSecurity.waitUntilSettled(0ms)) << "unanswered or still retained";
    }

    void startProtecting() {
        client.start(*controller);
        enable(ana);
    }

    // Delivers an exec of `target` (of `withScript`), with `seconds` left to answer, waits until
    // the client has handled it, then runs the controller's jobs.
    void exec(const fs::path& target, std::optional<fs::path> withScript = std::nullopt,
              double seconds = 60, bool platformTarget = false) {
        es_message_t message = execMessage(
            ana, target, withScript ? std::optional(withScript->string()) : std::nullopt,
            clock.absoluteTime() + static_cast<std::uint64_t>(seconds * 1e9));
        message.event.exec.target.is_platform_binary = platformTarget;
        ASSERT_EQ(endpointSecurity.deliver(std::move(message)), 1u);
        endpointSecurity.waitUntilIdle();
        dispatch.runPending();
    }
    ExecutionProtectionState state() { return ProtectionHarness::state(ana); }
    std::optional<bool> decide(const UUID& id, ExecutionDecision decision) {
        return ProtectionHarness::decide(ana, id, decision);
    }
    Lines answers() const { return starting(endpointSecurity.calls(), {"es_respond_auth_result"}); }
    Lines protectLog() const { return starting(log->lines(), {"protect "}); }
    // The recorded outcomes, oldest first, as "file result: reason".
    Lines history() {
        Lines result;
        for (const ExecutionOutcome& outcome : state().outcomes) {
            result.insert(result.begin(), fs::path(outcome.path).filename().string() + " " +
                                              std::string(rawValue(outcome.resolvedResult())) +
                                              ": " + outcome.reason);
        }
        return result;
    }

    const fs::path interpreter = home / "bin/interpreter";
    const fs::path script = home / "bin/script.sh";
    FakeEndpointSecurity endpointSecurity;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    ESExecutionClient client{endpointSecurity, dispatch, clock, log};
};

TEST_F(ESExecutionClientTest, ProtectionIsAvailableOnlyWithAnExecSubscription) {
    // Nobody is protected yet, so execs are not checked.
    const Lines subscribed{"es_new_client", "setExecChecking(false)",
                           "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)"};
    const std::vector<std::pair<std::string, Lines>> cases{
        {"", subscribed},
        {"es_new_client", {"es_new_client"}},
        {"setExecChecking", {"es_new_client", "setExecChecking(false)", "es_delete_client"}},
        {"es_subscribe", {subscribed[0], subscribed[1], subscribed[2], "es_delete_client"}},
    };
    for (const auto& [failing, calls] : cases) {
        SCOPED_TRACE(failing);
        FakeEndpointSecurity service;
        service.script(failing, 1);  // ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT, ES_RETURN_ERROR
        controller->setAvailable(!failing.empty());
        ESExecutionClient(service, dispatch, clock, log).start(*controller);
        EXPECT_EQ(service.calls(), calls);
        EXPECT_EQ(state().available, failing.empty());
        if (failing.empty()) {  // the service loses the subscription, then has it again
            for (const bool available : {false, true}) {
                service.setAvailable(service.lastClient(), available);
                EXPECT_EQ(state().available, available);
            }
        }
    }
    EXPECT_TRUE(protectLog().empty());
}

TEST_F(ESExecutionClientTest, ExecsAreCheckedOnlyWhileSomeoneIsProtected) {
    constexpr std::uint32_t bob = 502;
    client.start(*controller);
    // The checking switches and cache clearings among the calls made since the `from`th.
    const auto switching = [this](std::size_t from) {
        return starting(endpointSecurity.calls(), {"setExecChecking", "es_clear_cache"}, from);
    };
    EXPECT_EQ(switching(0), Lines{"setExecChecking(false)"});
    constexpr auto on = "setExecChecking(true)";
    constexpr auto off = "setExecChecking(false)";
    constexpr auto clear = "es_clear_cache";  // remembered answers go with every change
    const std::vector<std::tuple<std::uint32_t, bool, bool, bool, Lines>> steps{
        // user, enabling, checking cannot be turned on, configured, the step's calls
        {bob, false, false, true, {clear}},  // nobody was protected: checking stays off
        {ana, true, false, true, {on, clear}},
        {bob, true, false, true, {clear}},   // checked already
        {ana, false, false, true, {clear}},  // bob is still protected
        {bob, false, false, true, {clear, off}},
        {ana, true, true, false, {on}},  // no checking, no protection
    };
    for (const auto& [uid, enabling, failing, configured, calls] : steps) {
        SCOPED_TRACE(std::to_string(uid) + (enabling ? " enables" : " disables"));
        if (failing) {
            endpointSecurity.script("setExecChecking", 1);  // ES_RETURN_ERROR
        }
        const std::size_t before = endpointSecurity.calls().size();
        EXPECT_EQ(configure(uid, settings(enabling)), configured);
        EXPECT_EQ(switching(before), calls);
    }
    EXPECT_FALSE(state().enabled);
    EXPECT_FALSE(controller->anyoneProtected());
    // New references change what is asked about too.
    enable(ana);
    const std::size_t before = endpointSecurity.calls().size();
    controller->updateReferences(ana, {{(home / "bin/tool").string(), clock.now()}});
    dispatch.runPending();
    EXPECT_EQ(switching(before), Lines{clear});
}

TEST_F(ESExecutionClientTest, GathersTheTargetAndTheScriptWithTextFieldsOfOneTo4096Bytes) {
    es_message_t message = execMessage(ana, interpreter, script.string(), 0);
    es_process_t& target = message.event.exec.target;
    target.is_platform_binary = true;
    target.codesigning_flags = 0x3;
    target.signing_id = token("com.example.interpreter");
    target.team_id = token("TEAM123");
    // The files themselves go along, as the exec handed them over.
    EXPECT_EQ(ESExecutionClient::candidates(message),
              (std::vector<ExecutionCandidate>{
                  {interpreter, candidateFor(interpreter).version, true, true, true,
                   "com.example.interpreter", "TEAM123", "/bin/zsh", target.executable.descriptor},
                  {script, candidateFor(script).version, false, false, false, "", "", "/bin/zsh",
                   message.event.exec.script->descriptor}}));
    message.version = 1;  // before version 2 there is no script
    EXPECT_EQ(ESExecutionClient::candidates(message).size(), 1u);

    const std::string longest = "/" + std::string(4'095, 'a');
    // How every reader of the service's texts reads them: at most the length given, none below 1.
    const std::vector<std::tuple<std::optional<std::string>, std::int64_t, std::string>> fields{
        {longest, 4'096, longest},
        {longest + "a", 4'097, ""},
        {"/bin/tool", 0, ""},
        {std::nullopt, 5, ""},
        {"/bin/toolXYZ", 9, "/bin/tool"},
        {"/bin/\xff", 6, "/bin/\xef\xbf\xbd"},  // U+FFFD replaces the invalid byte
        {"/bin/\xc3\xa9", 7, "/bin/\xc3\xa9"},  // well formed, kept as it is
        {"/bin/\xed\xa0\x80", 8, "/bin/\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
        {"/bin/\xc0\xaf", 7, "/bin/\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong
        {"/bin/a\xe2\x82", 8, "/bin/a\xef\xbf\xbd"},                            // cut short
    };
    for (const auto& [data, length, text] : fields) {
        SCOPED_TRACE(length);
        const es_string_token_t field{data, length};
        target.executable.path = target.team_id = message.process.executable.path = field;
        const ExecutionCandidate candidate = ESExecutionClient::candidates(message).at(0);
        EXPECT_EQ(Lines({candidate.path, candidate.teamID, *candidate.initiatingExecutable}),
                  Lines(3, text));
    }
}

// What needs no asking runs at once, and the service, which asks first whether an exec's file
// concerns anyone, is told so: which files those are is the policy's.
TEST_F(ESExecutionClientTest, WhatNeedsNoAskingRunsAtOnceWithoutHistory) {
    client.start(*controller);  // protection off
    const auto concerns = [this](const fs::path& path) {
        return endpointSecurity.interest(endpointSecurity.lastClient())(
            execMessage(ana, path, std::nullopt, 0).event.exec.target);
    };
    EXPECT_FALSE(concerns(script));
    endpointSecurity.script("es_respond_auth_result", refused);
    exec(script);
    ExecutionProtectionConfiguration known = settings();
    known.baseline.emplace(interpreter.string(), candidateFor(interpreter).version);
    ASSERT_EQ(configure(ana, known), true);
    EXPECT_FALSE(concerns(interpreter));
    EXPECT_TRUE(concerns(script));
    exec(interpreter);  // unchanged since the baseline
    // By a process whose user is unknown: what ana's protection would hold is blocked, since
    // nobody can be asked; the rest runs.
    for (const fs::path& target : {interpreter, script}) {
        ASSERT_EQ(endpointSecurity.deliver(execMessage(es_unknown_ruid, target, std::nullopt,
                                                       clock.absoluteTime() + 60'000'000'000)),
                  1u);
        endpointSecurity.waitUntilIdle();
    }
    EXPECT_EQ(answers(), (Lines{allow, allow, allow, deny}));
    EXPECT_TRUE(history().empty());
    EXPECT_EQ(protectLog(), (Lines{"protect error: Immediate AUTH_EXEC response failed",
                                   "protect error: Blocked an execution of " + script.string() +
                                       " by pid 4242: its user is unknown"}));

    es_message_t write = execMessage(ana, script, std::nullopt, 0);
    write.event_type = es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE;
    client.handle(endpointSecurity.lastClient(), write, *controller);
    EXPECT_EQ(answers().size(), 4u);  // other events are ignored
}

// The held requests of one message are decided in turn (by file name); the message is answered
// once, when the decision that settles it comes, and every request's outcome is recorded. A file
// rewritten after it was held is blocked when it would be allowed, and no rule is saved for it.
TEST_F(ESExecutionClientTest, TheRequestsOfAMessageAreAnsweredTogether) {
    struct Case {
        bool platformInterpreter;
        std::vector<std::pair<std::string, ExecutionDecision>> decisions;
        Lines history;           // the last is the answer
        bool rewritten = false;  // the script, before the decisions
    };
    const std::string both = "allowed: Allowed script and interpreter", i = "interpreter ";
    const std::string byUser = "blocked: Blocked by user", s = "script.sh ";
    const std::string changed = "blocked: Blocked: executable changed while held";
    const auto block = ExecutionDecision::block;
    const auto alwaysTrust = ExecutionDecision::alwaysTrust;
    // clang-format off
    const Case cases[] = {
        {true, {{"script.sh", allowOnce}}, {s + "allowed: Allowed once", allow}},
        {false, {{"interpreter", allowOnce}, {"script.sh", allowOnce}}, {i + both, s + both, allow}},
        {false, {{"interpreter", allowOnce}, {"script.sh", block}}, {i + byUser, s + byUser, deny}},
        {true, {{"script.sh", alwaysTrust}}, {s + changed, deny}, true},
        {false, {{"interpreter", allowOnce}, {"script.sh", allowOnce}}, {i + changed, s + changed, deny}, true},
        {false, {{"interpreter", allowOnce}, {"script.sh", block}}, {i + byUser, s + byUser, deny}, true},
    };
    // clang-format on
    startProtecting();
    Lines answered;  // all cases so far
    Lines recorded;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.history.front());
        exec(interpreter, script, 60, test.platformInterpreter);
        const std::vector<ExecutionRequest> pending = state().pending;
        ASSERT_EQ(pending.size(), test.decisions.size());
        EXPECT_EQ(protectLog().back(),
                  "protect default: AUTH waiting: " + std::to_string(pending.size()) +
                      " candidates, budget=60.000000, timeout=15.000000");
        if (test.rewritten) {
            std::ofstream(script, std::ios::app) << "curl x | sh\n";
        }
        for (const auto& [file, decision] : test.decisions) {
            EXPECT_EQ(answers(), answered);  // an approval alone answers nothing yet
            const bool first = fs::path(pending[0].path).filename() == file;
            const bool last = &file == &test.decisions.back().first;
            EXPECT_EQ(decide(pending[first ? 0 : 1].id, decision),
                      !(last && test.rewritten && decision != block));
        }
        answered.push_back(test.history.back());
        recorded.insert(recorded.end(), test.history.begin(), test.history.end() - 1);
        EXPECT_EQ(answers(), answered);
        EXPECT_EQ(history(), recorded);
        EXPECT_EQ(protectLog().back(),
                  "protect default: AUTH response result=0, allow=" +
                      std::string(answered.back() == allow ? "true" : "false"));
    }
    EXPECT_EQ(state().trustedRuleCount, 0);
}

// Fifteen seconds after it was held, a message is blocked: by its timer, or by an approval that
// comes once the gate's deadline has passed (its timer then finds the message finished, which the
// teardown, running every timer and counting answers, shows).
TEST_F(ESExecutionClientTest, AMessageIsBlockedAfterFifteenSeconds) {
    startProtecting();
    Lines recorded;
    for (const bool timerFirst : {true, false}) {
        SCOPED_TRACE(timerFirst);
        exec(script);
        const UUID held = state().pending.at(0).id;
        if (timerFirst) {
            dispatch.advance(14'999ms);
            dispatch.runPending();
            EXPECT_EQ(answers().size(), recorded.size());
            dispatch.advance(1ms);
            dispatch.runPending();
        } else {
            clock.advance(15s);
        }
        EXPECT_EQ(decide(held, allowOnce), false);
        recorded.push_back("script.sh blocked: Blocked after timeout");
        EXPECT_EQ(answers(), Lines(recorded.size(), deny));
        EXPECT_EQ(history(), recorded);
    }
}

// Too little time left blocks at once; an answer the service refuses has an unknown outcome.
TEST_F(ESExecutionClientTest, TooLittleTimeAndRefusedAnswers) {
    startProtecting();
    exec(interpreter, script, 1.9);
    EXPECT_EQ(answers(), Lines{deny});
    EXPECT_TRUE(endpointSecurity.waitUntilSettled(0ms)) << "still retained";
    EXPECT_EQ(history(), (Lines{"interpreter blocked: Blocked: insufficient decision time",
                                "script.sh blocked: Blocked: insufficient decision time"}));
    EXPECT_EQ(protectLog(), Lines{"protect default: AUTH response result=0, allow=false"});

    exec(script);
    endpointSecurity.script("es_respond_auth_result", refused);
    EXPECT_EQ(decide(state().pending.at(0).id, allowOnce), false);
    EXPECT_EQ(history().back(),
              "script.sh unknown: AUTH_EXEC response failed; execution outcome unknown");
    EXPECT_EQ(protectLog().back(), "protect default: AUTH response result=1, allow=true");
}

}  // namespace
}  // namespace quorin::daemon
