#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include "Fakes/FakeClock.hpp"
#include "Protection/HeldExecution.hpp"
#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <chrono>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeClock;
using testing::HeldExecution;
using testing::ProtectionHarness;

// Decisions, identity jobs, trust-rule approvals, timers, snapshots and a user turning protection
// off race on many held executions. Whatever the interleaving, every execution is answered
// exactly once and every outcome is recorded exactly once.
class ExecutionProtectionConcurrencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(home / "bin");
        trusted = home.write("bin/trusted", "trusted content");
        untrusted = home.write("bin/untrusted", "other content");
        // The trusted content's SHA-256: its identity jobs allow it by rule.
        const User user{{}, {Rule{std::nullopt, trustedSHA256}}, {}};
        controller.setAvailable(true);
        for (std::uint32_t uid : users) {
            ProtectionStorage(storageDirectory).save(user, uid);
            ASSERT_TRUE(configure(uid, true));
        }
    }

    void TearDown() override { pool.join(); }

    bool configure(std::uint32_t uid, bool enabled) {
        const ExecutionProtectionConfiguration configuration{
            enabled, {(home / "bin").string()}, {}, {}, {}};
        std::promise<bool> reply;
        controller.configure(uid, home.path().string(), encodeJSONText(configuration),
                             [&](bool result) { reply.set_value(result); });
        return reply.get_future().get();
    }

    // Waits until every job queued so far, and every job those queue, has run.
    void drain() {
        for (int pass = 0; pass < 2; ++pass) {
            std::promise<void> done;
            controller.state(users.front(), [&](std::string) { done.set_value(); });
            ASSERT_EQ(done.get_future().wait_for(60s), std::future_status::ready);
        }
    }

    std::vector<ExecutionOutcome> history(std::uint32_t uid) {
        std::promise<std::string> data;
        controller.exportHistory(uid, [&](std::string bytes) { data.set_value(std::move(bytes)); });
        return decodeJSONText<std::vector<ExecutionOutcome>>(data.get_future().get());
    }

    static constexpr const char* trustedSHA256 =
        "c057a979afc2b228aa3dd57b07b444d015a8439d8483cf445b3fb532a7abbc87";
    const std::vector<std::uint32_t> users{501, 502, 503, 504};
    quorin::testing::TemporaryDirectory home;
    const std::string storageDirectory = (home / "storage").string();
    fs::path trusted;
    fs::path untrusted;
    asio::thread_pool pool{3};
    AsioDispatch dispatch{pool.get_executor()};
    UnsignedCodeSigning signing;
    FakeClock clock;
    ExecutionProtectionController controller{storageDirectory, dispatch, signing, clock};
};

TEST_F(ExecutionProtectionConcurrencyTest, EveryExecutionIsAnsweredAndRecordedExactlyOnce) {
    constexpr int rounds = 4;
    constexpr int perUser = 40;  // beyond the 32 a user may hold: some are blocked at once
    std::map<std::uint32_t, std::set<UUID>> expected;
    std::mt19937 random(20261206);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::pair<std::uint32_t, HeldExecution>> held;
        for (std::uint32_t uid : users) {
            for (int index = 0; index < perUser; ++index) {
                const fs::path& file = index % 3 == 0 ? trusted : untrusted;
                held.emplace_back(
                    uid, HeldExecution(controller, uid, ProtectionHarness::candidateFor(file)));
                expected[uid].insert(held.back().second.id());
            }
        }
        std::shuffle(held.begin(), held.end(), random);
        const std::uint32_t disabledUser = users[static_cast<std::size_t>(round) % users.size()];

        std::thread preparer([&] {
            for (auto& [uid, execution] : held) {
                execution.prepare(clock.now().addingTimeInterval(15));
            }
        });
        // Decides about half of the executions per pass, at random.
        auto decider = [&](unsigned seed, int passes) {
            std::mt19937 choices(seed);
            for (int pass = 0; pass < passes; ++pass) {
                for (auto& [uid, execution] : held) {
                    if (choices() % 2 == 0) {
                        continue;
                    }
                    const auto decision = static_cast<ExecutionDecision>(choices() % 3);
                    // Another user's decision never counts; the reply is not waited for.
                    controller.decide(uid + (choices() % 8 == 0 ? 1 : 0), execution.id(), decision,
                                      [](bool) {});
                }
            }
        };
        // First while the executions are being held and identified.
        std::thread firstDecider(decider, 1u + static_cast<unsigned>(round), 1);
        std::thread snapshots([&] {
            for (int pass = 0; pass < 20; ++pass) {
                for (std::uint32_t uid : users) {
                    controller.state(uid, [](std::string data) { EXPECT_FALSE(data.empty()); });
                }
            }
        });
        std::thread disabler([&] { EXPECT_TRUE(configure(disabledUser, false)); });
        for (std::thread* thread : {&preparer, &firstDecider, &snapshots, &disabler}) {
            thread->join();
        }
        // Then, once identified (so "always trust" can save rules), against the timers.
        drain();
        std::thread secondDecider(decider, 100u + static_cast<unsigned>(round), 2);
        std::thread timer([&] {
            for (std::size_t index = held.size(); index-- > 0;) {
                if (index % 3 == 0) {
                    held[index].second.expire();
                }
            }
        });
        secondDecider.join();
        timer.join();
        drain();
        // The rest runs out of time.
        for (auto& [uid, execution] : held) {
            execution.expire();
        }
        drain();
        for (const auto& [uid, execution] : held) {
            ASSERT_EQ(execution.answers().size(), 1u);
        }
        EXPECT_TRUE(configure(disabledUser, true));
    }
    for (std::uint32_t uid : users) {
        SCOPED_TRACE(uid);
        std::multiset<UUID> recorded;
        for (const ExecutionOutcome& outcome : history(uid)) {
            recorded.insert(outcome.id);
        }
        EXPECT_EQ(recorded, std::multiset<UUID>(expected[uid].begin(), expected[uid].end()));
    }
}

}  // namespace
}  // namespace quorin::daemon
