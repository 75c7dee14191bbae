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
using Reason = ExecutionExplanation::Reason;

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

    // Starts the client and turns protection on with `baseline` already known.
    void startProtecting(const std::vector<fs::path>& baseline = {}) {
        client.start(controller);
        ExecutionProtectionConfiguration configuration;
        configuration.enabled = true;
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
        ASSERT_EQ(reply, true);
    }

    // Delivers an exec message answered by the given number of seconds from now, waits until
    // the client has handled it, then runs the controller's jobs.
    void exec(const fs::path& target, std::optional<fs::path> withScript = std::nullopt,
              double secondsToDeadline = 60) {
        const auto deadline =
            clock.absoluteTime() + static_cast<std::uint64_t>(secondsToDeadline * 1e9);
        es_message_t message =
            execMessage(ana, target.string(),
                        withScript ? std::optional(withScript->string()) : std::nullopt, deadline);
        ASSERT_EQ(endpointSecurity.deliver(std::move(message)), 1u);
        endpointSecurity.waitUntilIdle();
        dispatch.runPending();
    }

    ExecutionProtectionState state() {
        std::optional<std::string> data;
        controller.state(ana, [&](std::string bytes) { data = std::move(bytes); });
        dispatch.runPending();
        return decodeJSONText<ExecutionProtectionState>(data.value_or("{}"));
    }

    std::vector<UUID> pendingIDs() {
        std::vector<UUID> ids;
        for (const ExecutionRequest& request : state().pending) {
            ids.push_back(request.id);
        }
        return ids;
    }

    std::optional<bool> decide(const UUID& id, ExecutionDecision decision) {
        std::optional<bool> reply;
        controller.decide(ana, id, decision, [&](bool result) { reply = result; });
        dispatch.runPending();
        return reply;
    }

    // The answers given so far, in order.
    std::vector<std::string> answers() const {
        std::vector<std::string> result;
        for (const std::string& call : endpointSecurity.calls()) {
            if (call.starts_with("es_respond_auth_result")) {
                result.push_back(call);
            }
        }
        return result;
    }

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

    std::vector<std::string> protectLog() const {
        std::vector<std::string> result;
        for (const std::string& line : log->lines()) {
            if (line.starts_with("protect ")) {
                result.push_back(line);
            }
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

TEST_F(ESExecutionClientTest, SubscribesToExecAuthorizationOnly) {
    client.start(controller);
    EXPECT_EQ(endpointSecurity.calls(),
              (std::vector<std::string>{"es_new_client", "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)"}));
    EXPECT_TRUE(state().available);
    EXPECT_EQ(dispatch.labels(),
              (std::vector<std::string>{"quorin.protect.storage", "quorin.protect.deadlines"}));
}

TEST_F(ESExecutionClientTest, WithoutASubscriptionProtectionCannotBeEnabled) {
    struct Case {
        const char* name;
        std::function<void(FakeEndpointSecurity&)> script;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
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
        ESExecutionClient failing(service, dispatch, clock, log);
        controller.setAvailable(true);
        failing.start(controller);
        EXPECT_EQ(service.calls(), test.calls);
        EXPECT_FALSE(state().available);
        ExecutionProtectionConfiguration configuration;
        configuration.enabled = true;
        std::optional<bool> reply;
        controller.configure(ana, home.path().string(), encodeJSONText(configuration),
                             [&](bool result) { reply = result; });
        dispatch.runPending();
        EXPECT_EQ(reply, false);
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

TEST_F(ESExecutionClientTest, AnUnchangedBaselineExecutableRunsAtOnceWithoutHistory) {
    startProtecting({interpreter});
    exec(interpreter);
    EXPECT_EQ(answers(), std::vector<std::string>{allow});
    EXPECT_EQ(endpointSecurity.retainedMessages(), 0u);
    EXPECT_TRUE(history().empty());
    EXPECT_TRUE(protectLog().empty());
}

TEST_F(ESExecutionClientTest, AFailedImmediateAnswerIsLogged) {
    client.start(controller);  // protection off: nothing needs asking
    endpointSecurity.scriptRespond(es_respond_result_t::ES_RESPOND_RESULT_ERR_INTERNAL);
    exec(script);
    EXPECT_EQ(answers(), std::vector<std::string>{allow});
    EXPECT_EQ(protectLog(),
              std::vector<std::string>{"protect error: Immediate AUTH_EXEC response failed"});
    EXPECT_TRUE(history().empty());
}

TEST_F(ESExecutionClientTest, IgnoresOtherEvents) {
    startProtecting();
    es_message_t message = execMessage(ana, script.string(), std::nullopt, 0);
    message.event_type = es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE;
    client.handle(endpointSecurity.lastClient(), message, controller);
    EXPECT_TRUE(answers().empty());
}

TEST_F(ESExecutionClientTest, AScriptWithAPlatformInterpreterIsOneRequest) {
    startProtecting();
    es_message_t message = execMessage(ana, interpreter.string(), script.string(),
                                       clock.absoluteTime() + 60'000'000'000);
    message.event.exec.target.is_platform_binary = true;
    endpointSecurity.deliver(std::move(message));
    endpointSecurity.waitUntilIdle();
    dispatch.runPending();
    const std::vector<UUID> held = pendingIDs();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(state().pending[0].path, script.string());
    EXPECT_EQ(protectLog(), std::vector<std::string>{"protect default: AUTH waiting: 1 candidates, "
                                                     "budget=60.000000, timeout=15.000000"});
    EXPECT_EQ(decide(held[0], ExecutionDecision::allowOnce), true);
    EXPECT_EQ(answers(), std::vector<std::string>{allow});
    EXPECT_EQ(history(), std::vector<std::string>{"script.sh allowed: Allowed once"});
    EXPECT_EQ(protectLog().back(), "protect default: AUTH response result=0, allow=true");
}

TEST_F(ESExecutionClientTest, AScriptAndItsInterpreterAreAnsweredTogether) {
    struct Case {
        const char* name;
        ExecutionDecision first;   // on the interpreter
        ExecutionDecision second;  // on the script, when the first did not finish the message
        std::vector<std::string> answers;
        std::vector<std::string> history;
    };
    const Case cases[] = {
        {"both allowed",
         ExecutionDecision::allowOnce,
         ExecutionDecision::allowOnce,
         {allow},
         {"interpreter allowed: Allowed script and interpreter",
          "script.sh allowed: Allowed script and interpreter"}},
        {"interpreter blocked",
         ExecutionDecision::block,
         ExecutionDecision::allowOnce,
         {deny},
         {"interpreter blocked: Blocked by user", "script.sh blocked: Blocked by user"}},
        {"script blocked",
         ExecutionDecision::allowOnce,
         ExecutionDecision::block,
         {deny},
         {"interpreter blocked: Blocked by user", "script.sh blocked: Blocked by user"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        FakeEndpointSecurity service;
        ESExecutionClient scripted(service, dispatch, clock, log);
        scripted.start(controller);
        ExecutionProtectionConfiguration configuration;
        configuration.enabled = true;
        configuration.executableRoots = {root.string()};
        controller.configure(ana, home.path().string(), encodeJSONText(configuration), [](bool) {});
        dispatch.runPending();
        std::optional<bool> cleared;
        controller.clearHistory(ana, [&](bool result) { cleared = result; });
        dispatch.runPending();
        ASSERT_EQ(cleared, true);

        service.deliver(execMessage(ana, interpreter.string(), script.string(),
                                    clock.absoluteTime() + 60'000'000'000));
        service.waitUntilIdle();
        dispatch.runPending();
        const std::vector<ExecutionRequest> pending = state().pending;
        ASSERT_EQ(pending.size(), 2u);
        const UUID interpreterID =
            pending[0].path == interpreter.string() ? pending[0].id : pending[1].id;
        const UUID scriptID = pending[0].path == script.string() ? pending[0].id : pending[1].id;

        EXPECT_EQ(decide(interpreterID, test.first), true);
        if (test.first == ExecutionDecision::allowOnce) {
            // One approval answers nothing yet.
            EXPECT_EQ(service.calls().size(), 2u);
            EXPECT_EQ(decide(scriptID, test.second), true);
        }
        std::vector<std::string> given;
        for (const std::string& call : service.calls()) {
            if (call.starts_with("es_respond_auth_result")) {
                given.push_back(call);
            }
        }
        EXPECT_EQ(given, test.answers);
        EXPECT_EQ(history(), test.history);
        // The expiry timer, the message's last holder, lets go of it.
        dispatch.advance(15s);
        dispatch.runPending();
        EXPECT_EQ(service.retainedMessages(), 0u);
        EXPECT_EQ(service.overReleasedMessages(), 0u);
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
    const UUID held = pendingIDs().at(0);
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
    const UUID held = pendingIDs().at(0);
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
    EXPECT_EQ(decide(pendingIDs().at(0), ExecutionDecision::allowOnce), false);
    EXPECT_EQ(history(),
              std::vector<std::string>{
                  "script.sh unknown: AUTH_EXEC response failed; execution outcome unknown"});
    EXPECT_EQ(protectLog().back(), "protect default: AUTH response result=1, allow=true");
}

TEST_F(ESExecutionClientTest, ATrustRuleAnswersWithoutTheUser) {
    startProtecting();
    exec(script);
    ASSERT_EQ(decide(pendingIDs().at(0), ExecutionDecision::alwaysTrust), true);
    exec(script);
    EXPECT_EQ(answers(), (std::vector<std::string>{allow, allow}));
    EXPECT_EQ(history(), (std::vector<std::string>{"script.sh allowed: Allowed; saving trust rule",
                                                   "script.sh allowed: Allowed by trust rule"}));
}

TEST_F(ESExecutionClientTest, DisablingProtectionAllowsWhatIsHeld) {
    startProtecting();
    exec(script);
    ExecutionProtectionConfiguration off;
    off.executableRoots = {root.string()};
    controller.configure(ana, home.path().string(), encodeJSONText(off), [](bool) {});
    dispatch.runPending();
    EXPECT_EQ(answers(), std::vector<std::string>{allow});
    EXPECT_EQ(history(), std::vector<std::string>{"script.sh allowed: Protect disabled by user"});
}

}  // namespace
}  // namespace quorin::daemon
