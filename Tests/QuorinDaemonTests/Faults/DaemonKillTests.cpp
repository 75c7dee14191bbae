// The daemon killed outright in the middle of a burst of saves, again and again: the user file
// on disk is always one whole record that the daemon wrote, never a mix or a partial write, it
// holds at least everything the daemon had confirmed, and a daemon restarted on it serves it.

#include "EndToEnd/ScopedDaemon.hpp"
#include "Faults/FaultTesting.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ScopedDaemonProcess;
using testing::SocketPeer;

// The stand-in sees the test as root.
constexpr std::uint32_t uid = 0;

class DaemonKillTest : public testing::TmpfsFaultTest {
  protected:
    void SetUp() override {
        if (!testing::isRoot()) {
            GTEST_SKIP() << "needs root to mount a private file system and run the daemon on it";
        }
        if (!mountTmpfs("size=64m,mode=0755")) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
        fs::create_directory(directory / "run");
    }

    void TearDown() override {
        daemon.kill();
        TmpfsFaultTest::TearDown();
    }

    // One call of the burst and the record the user file holds once the daemon has done it.
    struct Step {
        std::string selector;
        std::string payload;
        std::optional<std::uint64_t> replyID;
        User after;
    };

    // A burst whose every call rewrites the user's file, with contents of varying sizes that
    // differ in every step of every round: six times enabling, three reference updates and
    // disabling.
    std::vector<Step> burst(int round, std::mt19937& random) {
        std::vector<Step> steps;
        ExecutionProtectionConfiguration current;
        const auto configuration = [&](bool enabled, int index) {
            current = ExecutionProtectionConfiguration{
                enabled,
                {(mountPoint / ("r" + std::to_string(round) + "-" + std::to_string(index)))
                     .string()},
                {},
                {},
                references(random)};
            steps.push_back({"configureProtection:reply:", encodeJSONText(current), nextID++,
                             User{current, {}, {}}});
        };
        for (int index = 0; index < 6; ++index) {
            configuration(true, 2 * index);
            for (int update = 0; update < 3; ++update) {
                current.references = references(random);
                current.references.emplace("/step/" + std::to_string(round) + "-" +
                                               std::to_string(index) + "-" + std::to_string(update),
                                           Date{1.0});
                steps.push_back({"updateProtectionReferences:", encodeJSONText(current.references),
                                 std::nullopt, User{current, {}, {}}});
            }
            configuration(false, 2 * index + 1);
        }
        return steps;
    }

    // Between none and 200 references with paths of about 100 bytes: up to some 25 KB a file.
    static std::map<std::string, Date> references(std::mt19937& random) {
        std::map<std::string, Date> entries;
        const int count = std::uniform_int_distribution<int>(0, 200)(random);
        for (int index = 0; index < count; ++index) {
            entries.emplace("/Library/LaunchAgents/" + std::to_string(index) + std::string(80, 'p'),
                            Date{1'000.5 + index});
        }
        return entries;
    }

    static void send(SocketPeer& peer, const Step& step) {
        peer.call(step.selector, {XPCData{step.payload}}, step.replyID);
    }

    // Reads frames until the reply to `id` arrives (or, without an id, until the daemon is gone);
    // the configuration replies read on the way are kept in `confirmed`.
    std::optional<XPCValue> readReplies(SocketPeer& peer, std::optional<std::uint64_t> id,
                                        XPCValueKind kind) {
        while (const std::optional<std::string> body = peer.next(5s)) {
            const auto incoming = decodeIncoming(
                *body, QuorinDaemonXPCInterfaces::eventsInterface(), [&](std::uint64_t asked) {
                    return std::optional(asked == id ? kind : XPCValueKind::boolean);
                });
            if (const auto* reply = std::get_if<XPCReply>(&incoming)) {
                if (reply->id == id) {
                    return reply->value;
                }
                confirmed.emplace(reply->id, std::get<bool>(reply->value));
            }
        }
        return std::nullopt;
    }

    std::optional<XPCValue> request(SocketPeer& peer, const std::string& selector,
                                    XPCValueKind kind) {
        const std::uint64_t id = nextID++;
        peer.call(selector, {}, id);
        return readReplies(peer, id, kind);
    }

    ExecutionProtectionState state(SocketPeer& peer) {
        const auto data = request(peer, "protectionStateWithReply:", XPCValueKind::data);
        return decodeJSONText<ExecutionProtectionState>(std::get<XPCData>(data.value()).bytes);
    }

    std::optional<User> storedUser() const {
        if (!fs::exists(userFile)) {
            return std::nullopt;
        }
        return ProtectionStorage(protection.string()).load(uid);
    }

    const fs::path protection = mountPoint / "protect";
    const fs::path userFile = protection / "0.json";
    ScopedDaemonProcess daemon{
        {mountPoint, directory / "run", protection, mountPoint, directory / "daemon.log"}};

    // Starts the stand-in and connects to it.
    SocketPeer startAndConnect() {
        daemon.start();
        return SocketPeer(daemon.socket().string());
    }
    std::uint64_t nextID = 1;
    std::map<std::uint64_t, bool> confirmed;  // configuration replies, by request id
};

TEST_F(DaemonKillTest, TheUserFileIsAlwaysOneWholeRecordAndServedAfterARestart) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    // A first burst runs to its end, which tells how long a burst takes.
    SocketPeer peer = startAndConnect();
    std::vector<Step> steps = burst(0, random);
    const auto started = std::chrono::steady_clock::now();
    for (const Step& step : steps) {
        send(peer, step);
    }
    ASSERT_EQ(state(peer).available, true) << "the exec client did not start in the stand-in";
    const auto burstTime = std::chrono::steady_clock::now() - started;
    daemon.kill();
    for (const Step& step : steps) {
        if (step.replyID) {
            ASSERT_EQ(confirmed[*step.replyID], true) << step.selector;
        }
    }
    std::optional<User> onDisk = storedUser();
    ASSERT_EQ(onDisk, steps.back().after);

    constexpr int rounds = 40;
    const auto budget = std::chrono::steady_clock::now() + 45s;
    int played = 0;
    int cutMidway = 0;
    for (int round = 1; round <= rounds && std::chrono::steady_clock::now() < budget; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        peer = startAndConnect();
        // The restarted daemon serves what is on disk, with protection off until configured.
        const ExecutionProtectionState served = state(peer);
        EXPECT_EQ(served.error, std::nullopt);
        EXPECT_FALSE(served.enabled);
        EXPECT_EQ(served.executableRoots, onDisk.value_or(User{}).configuration.executableRoots);
        EXPECT_EQ(served.trustedRuleCount, 0);
        EXPECT_TRUE(served.outcomes.empty());

        // The kill comes at a random moment from the start of the burst to the time a whole
        // burst took.
        steps = burst(round, random);
        const auto killAfter =
            std::chrono::microseconds(std::uniform_int_distribution<std::int64_t>(
                0,
                std::chrono::duration_cast<std::chrono::microseconds>(burstTime).count())(random));
        std::thread sender([&peer, &steps] {
            try {
                for (const Step& step : steps) {
                    send(peer, step);
                }
            } catch (const std::runtime_error&) {
                // The daemon died while the burst was being sent.
            }
        });
        std::this_thread::sleep_for(killAfter);
        daemon.kill();
        sender.join();
        readReplies(peer, std::nullopt, XPCValueKind::boolean);

        // Which record is on disk: the one before the burst (-1) or the one after some step.
        ASSERT_NO_THROW(storedUser()) << testing::contentsOf(userFile).value_or("");
        const std::optional<User> found = storedUser();
        int reached = -2;
        if (found == onDisk) {
            reached = -1;
        }
        for (int index = 0; index < static_cast<int>(steps.size()); ++index) {
            if (found == steps[static_cast<std::size_t>(index)].after) {
                reached = index;
            }
        }
        ASSERT_NE(reached, -2) << "not a record the daemon wrote: "
                               << testing::contentsOf(userFile).value_or("(no file)");
        // Everything confirmed before the kill is on disk.
        for (int index = 0; index < static_cast<int>(steps.size()); ++index) {
            const Step& step = steps[static_cast<std::size_t>(index)];
            if (step.replyID && confirmed.contains(*step.replyID)) {
                EXPECT_TRUE(confirmed[*step.replyID]) << "step " << index;
                EXPECT_GE(reached, index) << "a confirmed configuration was lost";
            }
        }
        // A save cut short leaves at most its temporary file behind: "." and a UUID.
        for (const std::string& name : testing::temporaryNames(protection)) {
            EXPECT_TRUE(UUID::parse(name.substr(1)).has_value()) << name;
        }
        if (reached >= 0 && reached + 1 < static_cast<int>(steps.size())) {
            ++cutMidway;
        }
        onDisk = found;
        ++played;
    }

    // The last record is served too.
    peer = startAndConnect();
    const ExecutionProtectionState served = state(peer);
    EXPECT_EQ(served.error, std::nullopt);
    EXPECT_EQ(served.executableRoots, onDisk.value_or(User{}).configuration.executableRoots);
    daemon.kill();

    EXPECT_GE(played, 10) << "too few rounds in the time allowed";
    // Kills land anywhere in the burst, so some must have cut one short.
    EXPECT_GT(cutMidway, 0) << "no kill landed in the middle of a burst in " << played;
    std::cout << "[          ] " << played << " rounds, " << cutMidway
              << " cut in the middle of the burst, " << testing::temporaryNames(protection).size()
              << " temporary files left behind\n";
}

}  // namespace
}  // namespace quorin::daemon
