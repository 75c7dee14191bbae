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

using Decision = std::pair<std::string, std::string>;

const std::string idA = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";
const std::string idB = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
constexpr Date now{1'000};
const std::string question = "[b]lock, allow [o]nce, [a]lways trust, [s]kip? ";

ExecutionRequest request(const std::string& id, const std::string& path, bool canAlwaysTrust,
                         Date deadline = Date{1'030.5}) {
    ExecutionExplanation explanation{};
    explanation.reasons = {ExecutionExplanation::Reason::notInBaseline};
    explanation.signature = ExecutionExplanation::Signature::unsigned_;
    explanation.trust = ExecutionExplanation::Trust::noMatchingRule;
    explanation.recordedAt = now;
    return {testing::uuid(id), path, "", "", deadline, canAlwaysTrust, explanation};
}

// How a request made by `request` with its default deadline is shown, up to the question.
std::string held(const std::string& path) {
    return "Held: " + path +
           "\n  reasons notInBaseline\n  signature unsigned, trust noMatchingRule\n  30 s left\n";
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
        return states_.at(std::min(polls_++, states_.size() - 1));
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
    cli::ProtectionPrompt(
        daemon, in, out, [] { return now; }, [&pauses] { return ++pauses < 3; })
        .run();
    return {daemon.decisions, out.str(), pauses};
}

// Three pauses: the dialogue went on polling, and asked nothing more about a request still
// pending. None: the end of the input ended it.
TEST(ProtectionPromptTest, SendsExactlyTheDecisionOfEachAnswerAndSaysWhatItDid) {
    struct Case {
        std::string input;
        bool canAlwaysTrust;
        bool applies;
        std::string decision;  // sent for the request; empty: nothing sent
        std::string dialogue;  // after the request is shown
        int pauses = 3;
    };
    const std::string trusted = question + "allowed, and trusted from now on: /a\n";
    const std::string untrusted =
        question + "its identity could not be established, so it cannot be trusted always\n";
    const std::vector<Case> cases{
        {" Block \n", true, true, "block", question + "blocked: /a\n"},
        {"ONCE\n", true, true, "allowOnce", question + "allowed once: /a\n"},
        {"allowOnce\n", true, false, "allowOnce",
         question + "the daemon did not apply the decision for /a (it may have been decided "
                    "already or run out of time)\n"},
        {"a\n", true, true, "alwaysTrust", trusted},
        {"alwaysTrust\n", true, true, "alwaysTrust", trusted},
        // No rule can be stored without an identity: asked again, never allowed in its place.
        {"always\no\n", false, true, "allowOnce", untrusted + question + "allowed once: /a\n"},
        {"always\n", false, true, "", untrusted + question + "\n", 0},
        {"skip\n", true, true, "", question + "skipped /a\n"},
        // Nothing is decided for an answer that is not one, nor when the input ends.
        {"yes\ny\nallow\n\n", true, true, "",
         question + question + question + question + question + "\n", 0},
        {"", true, true, "", question + "\n", 0},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.input);
        const Transcript transcript = converse({state({request(idA, "/a", sample.canAlwaysTrust)})},
                                               sample.input, sample.applies);
        EXPECT_EQ(transcript.decisions,
                  (sample.decision.empty() ? std::vector<Decision>{}
                                           : std::vector<Decision>{{idA, sample.decision}}));
        EXPECT_EQ(transcript.out, held("/a") + sample.dialogue);
        EXPECT_EQ(transcript.pauses, sample.pauses);
    }
}

TEST(ProtectionPromptTest, AsksAboutEachNewRequestStillInTimeWithItsPathEscaped) {
    const ExecutionRequest expired = request(idA, "/a", true, Date{999.5});
    const ExecutionRequest escaped = request(idB, "/b\x1b[2J", true);
    const Transcript transcript =
        converse({state({}), state({expired, escaped}), state({expired, escaped})}, "o\n");
    EXPECT_EQ(transcript.decisions, (std::vector<Decision>{{idB, "allowOnce"}}));
    EXPECT_EQ(transcript.out, "Held: /a\n  the time to decide has run out\n" +
                                  held("/b\\u{001B}[2J") + question +
                                  "allowed once: /b\\u{001B}[2J\n");
    EXPECT_EQ(transcript.pauses, 3);
}

}  // namespace
}  // namespace quorin
