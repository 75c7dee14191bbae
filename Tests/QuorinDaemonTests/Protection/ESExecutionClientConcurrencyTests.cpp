#include "QuorinDaemon/Protection/ESExecutionClient.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Messages.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <atomic>
#include <future>
#include <random>
#include <set>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace quorin::daemon::testing;

// Thousands of exec messages, held and answered while user decisions, trust rules, expiry timers
// and a user turning protection off and on race on them, on real queues and the real clock.
// Whatever wins, every message is answered exactly once and released exactly once, and every
// held request's outcome is recorded exactly once.
class ESExecutionClientConcurrencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(home / "bin");
        for (int index = 0; index < 4; ++index)
            files.push_back(home.write("bin/tool" + std::to_string(index), std::to_string(index)));
        // One content is trusted by every user: its identity jobs answer by rule.
        User user;
        user.rules = {*ExecutableIdentification(signing, clock)
                           .identity(ESExecutionClient::candidates(
                               execMessage(0, files[0], std::nullopt, 0))[0])
                           .rule};
        client.start(controller);
        for (std::uint32_t uid : users) {
            ProtectionStorage((home / "storage").string()).save(user, uid);
            ASSERT_TRUE(configure(uid, true));
        }
    }
    void TearDown() override { pool.join(); }

    bool configure(std::uint32_t uid, bool enabled) {
        ExecutionProtectionConfiguration configuration{
            .enabled = enabled, .executableRoots = {(home / "bin").string()}};
        return reply<bool>([&](auto done) {
            controller.configure(uid, home.path().string(), encodeJSONText(configuration), done);
        });
    }

    // What `request` hands the reply it is given, once it came (from a queue's thread).
    template <class Value, class Request>
    static Value reply(Request request) {
        std::promise<Value> value;
        request([&](Value result) { value.set_value(std::move(result)); });
        return value.get_future().get();
    }

    ExecutionProtectionState state(std::uint32_t uid) {
        return decodeJSONText<ExecutionProtectionState>(
            reply<std::string>([&](auto done) { controller.state(uid, done); }));
    }

    const std::vector<std::uint32_t> users{501, 502, 503, 504};
    quorin::testing::TemporaryDirectory home;
    std::vector<fs::path> files;
    asio::thread_pool pool{3};
    AsioDispatch dispatch{pool.get_executor()};
    FakeEndpointSecurity endpointSecurity;
    UnsignedCodeSigning signing;
    SystemClock clock;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    ExecutionProtectionController controller{(home / "storage").string(), dispatch, signing, clock};
    ESExecutionClient client{endpointSecurity, dispatch, clock, log};
};

TEST_F(ESExecutionClientConcurrencyTest, EveryMessageIsAnsweredAndReleasedOnce) {
    constexpr int waves = 20;
    constexpr int messagesPerWave = 100;
    std::mt19937 random(61206);
    for (int wave = 0; wave < waves; ++wave) {
        SCOPED_TRACE(wave);
        std::atomic<bool> settled{false};
        // Decides about what the snapshots show, at random, until the wave is over; now and
        // then in another user's name, which never counts.
        auto decider = [&](unsigned seed) {
            std::mt19937 choices(seed);
            while (!settled) {
                for (std::uint32_t uid : users) {
                    for (const ExecutionRequest& request : state(uid).pending) {
                        controller.decide(uid + (choices() % 8 == 0 ? 1 : 0), request.id,
                                          static_cast<ExecutionDecision>(choices() % 3),
                                          [](bool) {});
                    }
                }
            }
        };
        std::thread firstDecider(decider, 2u * static_cast<unsigned>(wave));
        std::thread secondDecider(decider, 2u * static_cast<unsigned>(wave) + 1);
        const std::uint32_t switching = users[static_cast<std::size_t>(wave) % users.size()];
        std::thread switcher([&] {
            EXPECT_TRUE(configure(switching, false));
            EXPECT_TRUE(configure(switching, true));
        });
        for (int index = 0; index < messagesPerWave; ++index) {
            const std::uint32_t uid = users[random() % users.size()];
            const fs::path& target = files[random() % 4];
            const auto script =
                index % 4 == 0 ? std::optional(files[random() % 4].string()) : std::nullopt;
            // 20 to 220 ms to decide, after the two seconds kept for the answer.
            const auto deadline = clock.absoluteTime() + 2'020'000'000 + random() % 200'000'000;
            endpointSecurity.deliver(execMessage(uid, target.string(), script, deadline));
        }
        switcher.join();
        ASSERT_TRUE(endpointSecurity.waitUntilSettled(60s));
        settled = true;
        firstDecider.join();
        secondDecider.join();
    }
    // The last recordings finish; a snapshot queued after them finds them done.
    (void)state(users.front());
    (void)state(users.front());
    EXPECT_EQ(endpointSecurity.duplicateAnswers(), 0u);
    EXPECT_EQ(endpointSecurity.overReleasedMessages(), 0u);

    // Each held message logged how many requests it held, except one whose deadline left no time
    // by the time it was handled (a slow run), which was blocked at once; each request has one
    // outcome.
    std::size_t heldRequests = 0;
    for (const std::string& line : log->lines()) {
        constexpr std::string_view waiting = "protect default: AUTH waiting: ";
        if (line.starts_with(waiting))
            heldRequests += std::stoul(line.substr(waiting.size()));
    }
    std::set<UUID> recorded;
    std::size_t outcomes = 0;
    for (std::uint32_t uid : users) {
        for (const ExecutionOutcome& outcome : decodeJSONText<std::vector<ExecutionOutcome>>(
                 reply<std::string>([&](auto done) { controller.exportHistory(uid, done); }))) {
            recorded.insert(outcome.id);
            ++outcomes;
            if (outcome.reason == "Blocked: insufficient decision time")
                ++heldRequests;
        }
    }
    EXPECT_GT(heldRequests, 0u);
    EXPECT_EQ(outcomes, heldRequests);
    EXPECT_EQ(recorded.size(), outcomes);
}

}  // namespace
}  // namespace quorin::daemon
