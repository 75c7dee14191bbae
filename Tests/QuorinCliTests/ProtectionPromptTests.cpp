// The approval dialogue driven by a script of answers against a scripted daemon.

#include "TestSupport/JSONTesting.hpp"
#include "quorin/ProtectionPrompt.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using cli::ProtectionPrompt;
using Decision = std::pair<std::string, std::string>;

const std::string idA = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";
const std::string idB = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
constexpr Date now{1'000};

ExecutionRequest request(const std::string& id, const std::string& path, bool canAlwaysTrust,
                         Date deadline = Date{1'030.5}) {
    ExecutionExplanation explanation{};
    explanation.reasons = {ExecutionExplanation::Reason::notInBaseline};
    explanation.signature = ExecutionExplanation::Signature::unsigned_;
    explanation.trust = ExecutionExplanation::Trust::noMatchingRule;
    explanation.recordedAt = now;
    return {testing::uuid(id), path, "", "", deadline, canAlwaysTrust, explanation};
}

std::string state(std::vector<ExecutionRequest> pending) {
    return encodeJSONText(
        ExecutionProtectionState{{"/home/ana/bin"}, true, true, {}, std::move(pending), {}, 0});
}

// Hands out the states in order, repeating the last, and records the decisions it is sent.
class ScriptedDaemon final : public cli::ProtectionRequests {
  public:
    ScriptedDaemon(std::vector<std::string> states, bool applies)
        : states_(std::move(states)), applies_(applies) {}

    std::string protectionState() override {
        const std::string& state = states_.at(std::min(polls_, states_.size() - 1));
        ++polls_;
        return state;
    }
    bool decideExecution(std::string id, std::string decision) override {
        decisions.emplace_back(std::move(id), std::move(decision));
        return applies_;
    }

    std::vector<Decision> decisions;

  private:
    std::vector<std::string> states_;
    bool applies_;
    std::size_t polls_ = 0;
};

struct Transcript {
    std::vector<Decision> decisions;
    std::string out;
    int pauses;
};

// Runs the dialogue; the pause after the third poll reports the end of the input, so that a
// dialogue whose answers have all been used up still ends.
Transcript converse(std::vector<std::string> states, const std::string& input,
                    bool applies = true) {
    ScriptedDaemon daemon(std::move(states), applies);
    std::istringstream in(input);
    std::ostringstream out;
    int pauses = 0;
    ProtectionPrompt(
        daemon, in, out, [] { return now; }, [&pauses] { return ++pauses < 3; })
        .run();
    return {daemon.decisions, out.str(), pauses};
}

const std::string question = "[b]lock, allow [o]nce, [a]lways trust, [s]kip? ";

// How a request made by `request` with its default deadline is shown, up to the question.
std::string held(const std::string& path) {
    return "Held: " + path +
           "\n  reasons notInBaseline\n  signature unsigned, trust noMatchingRule\n  30 s left\n";
}

TEST(ProtectionPromptTest, ShowsTheRequestAndAsksAgainUntilAnAcceptedAnswer) {
    const Transcript transcript =
        converse({state({request(idA, "/home/ana/bin/t\x1b[2J", true)})}, "x\n\nallow\n Block \n");
    EXPECT_EQ(transcript.decisions, (std::vector<Decision>{{idA, "block"}}));
    EXPECT_EQ(transcript.out, held("/home/ana/bin/t\\u{001B}[2J") + question + question + question +
                                  question + "blocked: /home/ana/bin/t\\u{001B}[2J\n");
}

TEST(ProtectionPromptTest, SendsExactlyTheDecisionOfEachAnswerAndSaysWhatItDid) {
    struct Case {
        std::string input;
        bool canAlwaysTrust;
        bool applies;
        std::vector<Decision> decisions;
        std::string lastLine;  // after the last question
    };
    const std::string trusted = "allowed, and trusted from now on: /a\n";
    const std::string notApplied =
        "the daemon did not apply the decision for /a (it may have been decided already or run "
        "out of time)\n";
    const std::vector<Case> cases{
        {"b\n", true, true, {{idA, "block"}}, "blocked: /a\n"},
        {"ONCE\n", true, true, {{idA, "allowOnce"}}, "allowed once: /a\n"},
        {"allowOnce\n", true, false, {{idA, "allowOnce"}}, notApplied},
        {"a\n", true, true, {{idA, "alwaysTrust"}}, trusted},
        {"alwaysTrust\n", true, true, {{idA, "alwaysTrust"}}, trusted},
        // No rule can be stored without an identity: asked again, never allowed in its place.
        {"always\n", false, true, {}, "\n"},
        {"always\no\n", false, true, {{idA, "allowOnce"}}, "allowed once: /a\n"},
        {"skip\n", true, true, {}, "skipped /a\n"},
        // Nothing is decided for an answer that is not one, nor when the input ends.
        {"yes\ny\nallow\n\n", true, true, {}, "\n"},
        {"", true, true, {}, "\n"},
    };
    for (const Case& sample : cases) {
        const Transcript transcript = converse({state({request(idA, "/a", sample.canAlwaysTrust)})},
                                               sample.input, sample.applies);
        EXPECT_EQ(transcript.decisions, sample.decisions) << sample.input;
        EXPECT_TRUE(transcript.out.ends_with(question + sample.lastLine)) << transcript.out;
    }
}

TEST(ProtectionPromptTest, EndsWithTheInputAndAsksAboutEachRequestOnce) {
    // A skipped request is still pending at the next poll; only the new one is asked about.
    const Transcript transcript =
        converse({state({}), state({request(idA, "/a", true)}),
                  state({request(idA, "/a", true), request(idB, "/b", true)})},
                 "s\no\n");
    EXPECT_EQ(transcript.decisions, (std::vector<Decision>{{idB, "allowOnce"}}));
    EXPECT_EQ(transcript.out, held("/a") + question + "skipped /a\n" + held("/b") + question +
                                  "allowed once: /b\n");
    EXPECT_EQ(transcript.pauses, 3);

    const Transcript ended = converse({state({request(idA, "/a", true)})}, "");
    EXPECT_EQ(ended.pauses, 0);
    EXPECT_EQ(ended.decisions, std::vector<Decision>{});
}

TEST(ProtectionPromptTest, DoesNotAskAboutARequestWhoseTimeHasRunOut) {
    const Transcript transcript =
        converse({state({request(idA, "/a", true, Date{999.5}), request(idB, "/b", true)})}, "b\n");
    EXPECT_EQ(transcript.decisions, (std::vector<Decision>{{idB, "block"}}));
    EXPECT_EQ(transcript.out, "Held: /a\n  the time to decide has run out\n" + held("/b") +
                                  question + "blocked: /b\n");
}

}  // namespace
}  // namespace quorin
