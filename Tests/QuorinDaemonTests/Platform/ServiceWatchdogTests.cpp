#include "QuorinDaemon/Platform/ServiceWatchdog.hpp"

#include "Fakes/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

class CountingServiceManager final : public ServiceManager {
  public:
    void ready(const std::string&) override {}
    void alive() override { ++feeds; }
    std::optional<std::chrono::microseconds> watchdogInterval() const override {
        return std::nullopt;
    }
    int feeds = 0;
};

// A part that answers, or not, as its script says for each check; it counts the questions.
struct ScriptedPart {
    std::vector<bool> answers;
    std::size_t check = 0;
    int asked = 0;
};

// At each check the manager is fed only when every part answered the previous question, and
// every part is asked again whether or not it answered. A part that falls silent is logged once
// however long it stays silent, and logged again when it answers.
TEST(ServiceWatchdogTest, FeedsTheManagerOnlyWhileEveryPartAnswers) {
    struct Case {
        std::string name;
        std::vector<bool> execReader;
        std::vector<bool> eventLoop;
        std::vector<bool> fed;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases{
        {"both answer", {true, true, true}, {true, true, true}, {true, true, true}, {}},
        {"one falls silent for a check",
         {true, false, true},
         {true, true, true},
         {true, false, true},
         {"watchdog error: watchdog: exec reader does not answer",
          "watchdog default: watchdog: exec reader answers again"}},
        {"silent from the start and for good",
         {true, true, true, true},
         {false, false, false, false},
         {false, false, false, false},
         {"watchdog error: watchdog: event loop does not answer"}},
        {"each silent in turn",
         {false, true, true},
         {true, false, true},
         {false, false, true},
         {"watchdog error: watchdog: exec reader does not answer",
          "watchdog default: watchdog: exec reader answers again",
          "watchdog error: watchdog: event loop does not answer",
          "watchdog default: watchdog: event loop answers again"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        CountingServiceManager manager;
        const auto sink = std::make_shared<testing::CapturingLogSink>();
        ScriptedPart reader{testCase.execReader};
        ScriptedPart loop{testCase.eventLoop};
        const auto probe = [](std::string name, ScriptedPart& part) {
            return WatchdogProbe{std::move(name), [&part] { ++part.asked; },
                                 [&part] { return part.answers.at(part.check++); }};
        };
        ServiceWatchdog watchdog(manager, {probe("exec reader", reader), probe("event loop", loop)},
                                 Log(sink, "s", "watchdog"));
        std::vector<bool> fed;
        for (std::size_t check = 0; check < testCase.fed.size(); ++check) {
            const int before = manager.feeds;
            watchdog.check();
            fed.push_back(manager.feeds > before);
        }
        EXPECT_EQ(fed, testCase.fed);
        EXPECT_EQ(sink->lines(), testCase.log);
        EXPECT_EQ(reader.asked, static_cast<int>(testCase.fed.size()));
        EXPECT_EQ(loop.asked, static_cast<int>(testCase.fed.size()));
    }
}

}  // namespace
}  // namespace quorin::daemon
