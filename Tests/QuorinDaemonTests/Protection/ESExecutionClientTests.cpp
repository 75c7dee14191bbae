#include "QuorinDaemon/Protection/ESExecutionClient.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "Messages.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::CapturingLogSink;
using testing::execMessage;
using testing::FakeClock;
using testing::FakeCodeSigning;
using testing::FakeEndpointSecurity;
using testing::ManualDispatch;

constexpr std::uint32_t ana = 501;
constexpr auto allow = "es_respond_auth_result(ES_AUTH_RESULT_ALLOW)";
constexpr auto deny = "es_respond_auth_result(ES_AUTH_RESULT_DENY)";

class ESExecutionClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(root);
        interpreter = executable("interpreter", "#!interpreter");
        script = executable("script.sh", "echo hello");
    }

    void TearDown() override {
        // Whatever is still held runs out of time, so every message is released.
        dispatch.advance(60s);
        dispatch.runPending();
        EXPECT_EQ(endpointSecurity.duplicateAnswers(), 0u);
        EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
        EXPECT_EQ(endpointSecurity.retainedMessages(), 0u);
        EXPECT_EQ(endpointSecurity.overReleasedMessages(), 0u);
    }

    fs::path executable(const std::string& name, const std::string& content) {
        const fs::path path = home.write("bin/" + name, content);
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    // Configures protection for ana, on or off, with `baseline` already known.
    std::optional<bool> configure(bool enabled, const std::vector<fs::path>& baseline = {}) {
        ExecutionProtectionConfiguration configuration;
        configuration.enabled = enabled;
        configuration.executableRoots = {root.string()};
        for (const fs::path& path : baseline) {
            struct stat status {};
            ::lstat(path.c_str(), &status);
            configuration.baseline.emplace(path.string(), fileVersion(status));
        }
        std::optional<bool> reply;
        controller.configure(ana, home.path().string(), encodeJSONText(configuration),
                             [&](bool result) { reply = result; });
        dispatch.runPending();
        return reply;
    }

    void startProtecting() {
        client.start(controller);
        ASSERT_EQ(configure(true), true);
    }

    // A deadline the given number of seconds from now, in ticks.
    std::uint64_t in(double seconds) const {
        return clock.absoluteTime() + static_cast<std::uint64_t>(seconds * 1e9);
    }

    // Delivers the message, waits until the client has handled it, then runs the controller's
    // jobs.
    void deliver(es_message_t message) {
        ASSERT_EQ(endpointSecurity.deliver(std::move(message)), 1u);
        endpointSecurity.waitUntilIdle();
        dispatch.runPending();
    }

    void exec(const fs::path& target, std::optional<fs::path> withScript = std::nullopt,
              double secondsToDeadline = 60) {
        deliver(execMessage(ana, target.string(),
                            withScript ? std::optional(withScript->string()) : std::nullopt,
                            in(secondsToDeadline)));
    }

    ExecutionProtectionState state() {
        std::optional<std::string> data;
        controller.state(ana, [&](std::string bytes) { data = std::move(bytes); });
        dispatch.runPending();
        return decodeJSONText<ExecutionProtectionState>(data.value_or("{}"));
    }

    std::optional<bool> decide(const UUID& id, ExecutionDecision decision) {
        std::optional<bool> reply;
        controller.decide(ana, id, decision, [&](bool result) { reply = result; });
        dispatch.runPending();
        return reply;
    }

    // The lines of `all` that start with `prefix`, in order.
    static std::vector<std::string> starting(const std::vector<std::string>& all,
                                             std::string_view prefix) {
        std::vector<std::string> result;
        std::copy_if(all.begin(), all.end(), std::back_inserter(result),
                     [&](const std::string& line) { return line.starts_with(prefix); });
        return result;
    }
    // The answers given so far, in order.
    std::vector<std::string> answers() const {
        return starting(endpointSecurity.calls(), "es_respond_auth_result");
    }
    std::vector<std::string> protectLog() const { return starting(log->lines(), "protect "); }

    // The recorded outcomes, oldest first, as "path result: reason".
    std::vector<std::string> history() {
        std::vector<std::string> result;
        const auto outcomes = state().outcomes;
        for (auto outcome = outcomes.rbegin(); outcome != outcomes.rend(); ++outcome) {
            result.push_back(fs::path(outcome->path).filename().string() + " " +
                             std::string(rawValue(outcome->resolvedResult())) + ": " +
                             outcome->reason);
        }
        return result;
    }

    quorin::testing::TemporaryDirectory home;
    const fs::path root = home / "bin";
    fs::path interpreter;
    fs::path script;
    FakeEndpointSecurity endpointSecurity;
    ManualDispatch dispatch;
    FakeCodeSigning signing;
    FakeClock clock;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    ExecutionProtectionController controller{(home / "storage").string(), dispatch, signing, clock};
    ESExecutionClient client{endpointSecurity, dispatch, clock, log};
};

TEST_F(ESExecutionClientTest, ProtectionIsAvailableOnlyWithAnExecSubscription) {
    // The controller's jobs and the client's timers each run on a queue of their own.
    EXPECT_EQ(dispatch.labels(),
              (std::vector<std::string>{"quorin.protect.storage", "quorin.protect.deadlines"}));
    struct Case {
        const char* name;
        std::function<void(FakeEndpointSecurity&)> script;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"subscribed",
         [](FakeEndpointSecurity&) {},
         {"es_new_client", "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)"}},
        {"no client",
         [](FakeEndpointSecurity& service) {
             service.scriptNewClient(es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_INTERNAL);
         },
         {"es_new_client"}},
        {"no subscription",
         [](FakeEndpointSecurity& service) {
             service.scriptReturn("es_subscribe", es_return_t::ES_RETURN_ERROR);
         },
         {"es_new_client", "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)", "es_delete_client"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        FakeEndpointSecurity service;
        test.script(service);
        const bool subscribed = test.calls.size() == 2;
        controller.setAvailable(!subscribed);
        ESExecutionClient local(service, dispatch, clock, log);
        local.start(controller);
        EXPECT_EQ(service.calls(), test.calls);
        EXPECT_EQ(state().available, subscribed);
    }
    EXPECT_TRUE(protectLog().empty());
}

TEST_F(ESExecutionClientTest, GathersTheTargetAndTheScriptOfAScriptExec) {
    es_message_t message = execMessage(ana, interpreter.string(), script.string(), 0);
    es_process_t& target = message.event.exec.target;
    target.is_platform_binary = true;
    target.codesigning_flags = 0x3;
    target.signing_id = testing::token("com.example.interpreter");
    target.team_id = testing::token("TEAM123");
    const std::vector<ExecutionCandidate> gathered = ESExecutionClient::candidates(message);
    ASSERT_EQ(gathered.size(), 2u);
    struct stat status {};
    ::lstat(interpreter.c_str(), &status);
    EXPECT_EQ(gathered[0],
              (ExecutionCandidate{interpreter.string(), fileVersion(status), true, true, true,
                                  "com.example.interpreter", "TEAM123", "/bin/zsh"}));
    ::lstat(script.c_str(), &status);
    EXPECT_EQ(gathered[1], (ExecutionCandidate{script.string(), fileVersion(status), false, false,
                                               false, "", "", "/bin/zsh"}));

    // Before message version 2 there is no script.
    message.version = 1;
    EXPECT_EQ(ESExecutionClient::candidates(message).size(), 1u);
}

TEST_F(ESExecutionClientTest, TakesTextFieldsOfOneTo4096BytesRepaired) {
    struct Case {
        std::string data;
        std::int64_t length;
        std::string text;
    };
    const Case cases[] = {
        {"/bin/tool", 9, "/bin/tool"},
        {"/" + std::string(4'095, 'a'), 4'096, "/" + std::string(4'095, 'a')},
        {"/" + std::string(4'096, 'a'), 4'097, ""},
        {"/bin/tool", 0, ""},
        {"/bin/\xff", 6, "/bin/\xef\xbf\xbd"},  // U+FFFD replaces the invalid byte
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.length);
        es_message_t message = execMessage(ana, "/bin/tool", std::nullopt, 0);
        message.event.exec.target.executable.path = es_string_token_t{test.data, test.length};
        message.event.exec.target.team_id = es_string_token_t{test.data, test.length};
        message.process.executable.path = es_string_token_t{test.data, test.length};
        const ExecutionCandidate candidate = ESExecutionClient::candidates(message).at(0);
        EXPECT_EQ(candidate.path, test.text);
        EXPECT_EQ(candidate.teamID, test.text);
        EXPECT_EQ(candidate.initiatingExecutable, test.text);
    }
}

TEST_F(ESExecutionClientTest, WhatNeedsNoAskingRunsAtOnceWithoutHistory) {
    client.start(controller);  // protection off
    endpointSecurity.scriptRespond(es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL);
    exec(script);
    EXPECT_EQ(protectLog(),
              std::vector<std::string>{"protect error: Immediate AUTH_EXEC response failed"});
    ASSERT_EQ(configure(true, {interpreter}), true);
    exec(interpreter);  // unchanged since the baseline
    EXPECT_EQ(answers(), (std::vector<std::string>{allow, allow}));
    EXPECT_EQ(endpointSecurity.retainedMessages(), 0u);
    EXPECT_TRUE(history().empty());
    EXPECT_EQ(protectLog().size(), 1u);

    es_message_t write = execMessage(ana, script.string(), std::nullopt, 0);
    write.event_type = es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE;
    client.handle(endpointSecurity.lastClient(), write, controller);
    EXPECT_EQ(answers().size(), 2u);  // other events are ignored
}

TEST_F(ESExecutionClientTest, AScriptWithAPlatformInterpreterIsOneRequest) {
    startProtecting();
    es_message_t message = execMessage(ana, interpreter.string(), script.string(), in(60));
    message.event.exec.target.is_platform_binary = true;
    deliver(std::move(message));
    const std::vector<ExecutionRequest> held = state().pending;
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].path, script.string());
    EXPECT_EQ(protectLog(), std::vector<std::string>{"protect default: AUTH waiting: 1 candidates, "
                                                     "budget=60.000000, timeout=15.000000"});
    EXPECT_EQ(decide(held[0].id, ExecutionDecision::allowOnce), true);
    EXPECT_EQ(answers(), std::vector<std::string>{allow});
    EXPECT_EQ(history(), std::vector<std::string>{"script.sh allowed: Allowed once"});
    EXPECT_EQ(protectLog().back(), "protect default: AUTH response result=0, allow=true");
}

TEST_F(ESExecutionClientTest, AScriptAndItsInterpreterAreAnsweredTogether) {
    struct Case {
        const char* name;
        ExecutionDecision first;   // on the interpreter
        ExecutionDecision second;  // on the script, when the first did not finish the message
        std::string answer;
        std::vector<std::string> history;
    };
    const Case cases[] = {
        {"both allowed",
         ExecutionDecision::allowOnce,
         ExecutionDecision::allowOnce,
         allow,
         {"interpreter allowed: Allowed script and interpreter",
          "script.sh allowed: Allowed script and interpreter"}},
        {"interpreter blocked",
         ExecutionDecision::block,
         ExecutionDecision::allowOnce,
         deny,
         {"interpreter blocked: Blocked by user", "script.sh blocked: Blocked by user"}},
        {"script blocked",
         ExecutionDecision::allowOnce,
         ExecutionDecision::block,
         deny,
         {"interpreter blocked: Blocked by user", "script.sh blocked: Blocked by user"}},
    };
    startProtecting();
    std::vector<std::string> answered;  // all cases so far
    std::vector<std::string> recorded;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        exec(interpreter, script);
        const std::vector<ExecutionRequest> pending = state().pending;
        ASSERT_EQ(pending.size(), 2u);
        const bool interpreterFirst = pending[0].path == interpreter.string();
        EXPECT_EQ(decide(pending[interpreterFirst ? 0 : 1].id, test.first), true);
        if (test.first == ExecutionDecision::allowOnce) {
            EXPECT_EQ(answers(), answered);  // one approval answers nothing yet
            EXPECT_EQ(decide(pending[interpreterFirst ? 1 : 0].id, test.second), true);
        }
        answered.push_back(test.answer);
        recorded.insert(recorded.end(), test.history.begin(), test.history.end());
        EXPECT_EQ(answers(), answered);
        EXPECT_EQ(history(), recorded);
    }
}

TEST_F(ESExecutionClientTest, TooLittleTimeBlocksAtOnce) {
    startProtecting();
    exec(interpreter, script, 1.9);
    EXPECT_EQ(answers(), std::vector<std::string>{deny});
    EXPECT_EQ(endpointSecurity.retainedMessages(), 0u);
    EXPECT_EQ(history(),
              (std::vector<std::string>{"interpreter blocked: Blocked: insufficient decision time",
                                        "script.sh blocked: Blocked: insufficient decision time"}));
    EXPECT_EQ(protectLog(),
              std::vector<std::string>{"protect default: AUTH response result=0, allow=false"});
}

TEST_F(ESExecutionClientTest, TheTimerBlocksAndLateApprovalsAreRejected) {
    startProtecting();
    exec(script);
    const UUID held = state().pending.at(0).id;
    dispatch.advance(14'999ms);
    dispatch.runPending();
    EXPECT_TRUE(answers().empty());
    dispatch.advance(1ms);
    dispatch.runPending();
    EXPECT_EQ(answers(), std::vector<std::string>{deny});
    EXPECT_EQ(decide(held, ExecutionDecision::allowOnce), false);
    EXPECT_EQ(answers(), std::vector<std::string>{deny});
    EXPECT_EQ(history(), std::vector<std::string>{"script.sh blocked: Blocked after timeout"});
    EXPECT_EQ(endpointSecurity.retainedMessages(), 0u);
}

TEST_F(ESExecutionClientTest, AnApprovalAfterTheGateDeadlineBlocks) {
    startProtecting();
    exec(script);
    const UUID held = state().pending.at(0).id;
    // The gate's deadline has passed; its timer has not fired yet.
    clock.advance(15s);
    EXPECT_EQ(decide(held, ExecutionDecision::allowOnce), false);
    EXPECT_EQ(answers(), std::vector<std::string>{deny});
    EXPECT_EQ(history(), std::vector<std::string>{"script.sh blocked: Blocked after timeout"});
    // The timer then finds the message finished.
    dispatch.advance(15s);
    dispatch.runPending();
    EXPECT_EQ(answers(), std::vector<std::string>{deny});
}

TEST_F(ESExecutionClientTest, AnAnswerTheServiceRefusesHasAnUnknownOutcome) {
    startProtecting();
    exec(script);
    endpointSecurity.scriptRespond(es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL);
    EXPECT_EQ(decide(state().pending.at(0).id, ExecutionDecision::allowOnce), false);
    EXPECT_EQ(history(),
              std::vector<std::string>{
                  "script.sh unknown: AUTH_EXEC response failed; execution outcome unknown"});
    EXPECT_EQ(protectLog().back(), "protect default: AUTH response result=1, allow=true");
}

}  // namespace
}  // namespace quorin::daemon
