// The approval dialogue driven by a script of answers against a scripted daemon.

#include "quorin/ProtectionPrompt.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using Decision = std::pair<std::string, std::string>;
using Transcript = std::tuple<std::vector<Decision>, std::string, int>;  // and pauses

const std::string idA = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";
constexpr Date now{1'000};
const std::string question = "[b]lock, allow [o]nce, [a]lways trust, [s]kip? ";
// A pending request as the daemon reports it, by default 30.5 s before its deadline.
std::string request(const std::string& id, const std::string& path, bool canAlwaysTrust,
                    double deadline = 1'030.5) {
    return R"({"id":")" + id + R"(","path":")" + path +
           R"(","signingID":"","teamID":"","deadline":)" + std::to_string(deadline) +
           R"(,"canAlwaysTrust":)" + (canAlwaysTrust ? "true" : "false") +
           R"(,"explanation":{"reasons":["notInBaseline"],"signature":"unsigned","trust":"noMatchingRule","recordedAt":1000}})";
}

// How a request made by `request` with its default deadline is shown, up to the question.
std::string held(const std::string& path) {
    return "Held: " + path +
           "\n  reasons notInBaseline\n  signature unsigned, trust noMatchingRule\n  30 s left\n";
}

std::string state(const std::string& pending) {
    return R"({"executableRoots":["/home/ana/bin"],"available":true,"enabled":true,"pending":[)" +
           pending + R"(],"outcomes":[],"trustedRuleCount":0})";
}

// Hands out the states in order, repeating the last, and records the decisions it is sent.
struct ScriptedDaemon final : cli::ProtectionRequests {
    ScriptedDaemon(std::vector<std::string> script, bool applying)
        : states(std::move(script)), applies(applying) {}
    std::string protectionState() override {
        return states.at(std::min(polls++, states.size() - 1));
    }
    bool decideExecution(std::string id, std::string decision) override {
        decisions.emplace_back(std::move(id), std::move(decision));
        return applies;
    }
    std::vector<std::string> states;
    bool applies;
    std::size_t polls = 0;
    std::vector<Decision> decisions;
};

// Runs the dialogue; the pause after the third poll reports the end of the input, so that a
// dialogue whose answers have all been used up still ends. Three pauses: the dialogue went on
// polling, and asked nothing more about a request still pending. None: the end of the input
// ended it.
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

TEST(ProtectionPromptTest, SendsExactlyTheDecisionOfEachAnswerAndSaysWhatItDid) {
    struct Case {
        std::string input;
        bool canAlwaysTrust;
        bool applies;
        std::string decision;  // sent for the request; empty: nothing sent
        std::string dialogue;  // after the request is shown
        int pauses = 3;
    };
    const std::vector<Case> cases{
        {" Block \n", true, true, "block", "blocked: /a\n"},
        {"allowOnce\n", true, false, "allowOnce",
         "the daemon did not apply the decision for /a (it may have been decided already or run "
         "out of time)\n"},
        {"a\n", true, true, "alwaysTrust", "allowed, and trusted from now on: /a\n"},
        // No rule can be stored without an identity: asked again, never allowed in its place.
        {"always\no\n", false, true, "allowOnce",
         "its identity could not be established, so it cannot be trusted always\n" + question +
             "allowed once: /a\n"},
        {"skip\n", true, true, "", "skipped /a\n"},
        // Nothing is decided for an answer that is not one, nor when the input ends.
        {"yes\ny\nallow\n\n", true, true, "", question + question + question + question + "\n", 0},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.input);
        EXPECT_EQ(
            converse({state(request(idA, "/a", sample.canAlwaysTrust))}, sample.input,
                     sample.applies),
            Transcript(sample.decision.empty() ? std::vector<Decision>{}
                                               : std::vector<Decision>{{idA, sample.decision}},
                       held("/a") + question + sample.dialogue, sample.pauses));
    }
}

TEST(ProtectionPromptTest, AsksAboutEachNewRequestStillInTimeWithItsPathEscaped) {
    const std::string idB = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
    const std::string both =
        request(idA, "/a", true, 999.5) + "," + request(idB, R"(/b\u001b[2J)", true);
    EXPECT_EQ(converse({state(""), state(both), state(both)}, "o\n"),
              Transcript({{idB, "allowOnce"}},
                         "Held: /a\n  the time to decide has run out\n" + held("/b\\u{001B}[2J") +
                             question + "allowed once: /b\\u{001B}[2J\n",
                         3));
}

}  // namespace
}  // namespace quorin
