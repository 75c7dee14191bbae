// The daemon killed outright in the middle of a burst of saves, again and again: the user file
// on disk is always one whole record that the daemon wrote, never a mix or a partial write, it
// holds at least everything the daemon had confirmed, and a daemon restarted on it serves it.

#include "Linux/PrivateTmpfs.hpp"
#include "QuorinDaemon/Protection/ProtectionStorage.hpp"

#include <algorithm>
#include <map>
#include <random>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::SocketPeer;

class DaemonKillTest : public testing::PrivateTmpfsTest {
  protected:
    // One configuration call and the record the user file holds once the daemon has done it.
    struct Step {
        std::uint64_t id;
        User after;
    };

    // Twelve configurations, enabled and disabled in turn, each with between none and 200
    // references of about 100 bytes (up to some 25 KB a file) and a root of its own.
    std::vector<Step> burst(int round, std::mt19937& random) {
        std::vector<Step> steps;
        for (int index = 0; index < 12; ++index) {
            const std::string root = "r" + std::to_string(round) + "-" + std::to_string(index);
            ExecutionProtectionConfiguration configuration{
                index % 2 == 0, {(mountPoint / root).string()}, {}, {}, {}};
            const int count = std::uniform_int_distribution<int>(0, 200)(random);
            for (int reference = 0; reference < count; ++reference) {
                configuration.references.emplace(
                    "/Library/LaunchAgents/" + std::to_string(reference) + std::string(80, 'p'),
                    Date{1'000.5 + reference});
            }
            steps.push_back({nextID++, User{configuration, {}, {}}});
        }
        return steps;
    }

    // Reads the replies into `confirmed` until the one to `last` (or, without it, until the
    // daemon is gone).
    void readReplies(SocketPeer& peer, std::optional<std::uint64_t> last = std::nullopt) {
        while (const std::optional<std::string> body = peer.next(5s)) {
            const auto incoming =
                decodeIncoming(*body, QuorinDaemonXPCInterfaces::eventsInterface(),
                               [](std::uint64_t) { return std::optional(XPCValueKind::boolean); });
            if (const auto* reply = std::get_if<XPCReply>(&incoming)) {
                confirmed.emplace(reply->id, std::get<bool>(reply->value));
                if (reply->id == last) {
                    return;
                }
            }
        }
    }

    // Starts the stand-in, connects to it and checks that it serves `onDisk`, with protection
    // off until configured.
    SocketPeer restart(const User& onDisk) {
        daemon.start();
        SocketPeer peer(daemon.socket().string());
        EXPECT_EQ(peer.state(),
                  (ExecutionProtectionState{
                      onDisk.configuration.executableRoots, true, false, std::nullopt, {}, {}, 0}));
        return peer;
    }

    const fs::path protection = mountPoint / "protect";
    testing::ScopedDaemonProcess daemon{mountPoint, directory.path(), protection};
    std::uint64_t nextID = 1;
    std::map<std::uint64_t, bool> confirmed;
};

TEST_F(DaemonKillTest, TheUserFileIsAlwaysOneWholeRecordAndServedAfterARestart) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    User onDisk{};  // none yet
    std::chrono::steady_clock::duration burstTime{};
    const auto budget = std::chrono::steady_clock::now() + 45s;
    int played = 0;
    int cutMidway = 0;
    for (int round = 0; round <= 40 && std::chrono::steady_clock::now() < budget; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        SocketPeer peer = restart(onDisk);
        const std::vector<Step> steps = burst(round, random);
        const auto sendBurst = [&peer, &steps] {
            try {
                for (const Step& step : steps) {
                    peer.call("configureProtection:reply:",
                              {XPCData{encodeJSONText(step.after.configuration)}}, step.id);
                }
            } catch (const std::runtime_error&) {
                // The daemon died while the burst was being sent.
            }
        };
        if (round == 0) {
            // A first burst runs to its end, which tells how long a burst takes.
            const auto started = std::chrono::steady_clock::now();
            sendBurst();
            readReplies(peer, steps.back().id);
            burstTime = std::chrono::steady_clock::now() - started;
            ASSERT_EQ(confirmed.size(), steps.size());
        } else {
            // The kill comes at a random moment from the start of the burst to the time a whole
            // burst took.
            std::thread sender(sendBurst);
            std::this_thread::sleep_for(std::chrono::steady_clock::duration(
                std::uniform_int_distribution<std::int64_t>(0, burstTime.count())(random)));
            daemon.kill();
            sender.join();
        }
        daemon.kill();
        readReplies(peer);

        // Which record is on disk: the one before the burst or the one after some step.
        const std::string bytes = testing::contentsOf(protection / "0.json").value_or("(no file)");
        User found{};
        // The stand-in sees the test as root.
        ASSERT_NO_THROW(found = ProtectionStorage(protection.string()).load(0)) << bytes;
        const auto reached = std::find_if(
            steps.begin(), steps.end(), [&found](const Step& step) { return found == step.after; });
        ASSERT_TRUE(reached != steps.end() || found == onDisk)
            << "not a record the daemon wrote: " << bytes;
        // Everything confirmed before the kill is on disk.
        for (auto step = steps.begin(); step != steps.end(); ++step) {
            if (const auto reply = confirmed.find(step->id); reply != confirmed.end()) {
                EXPECT_TRUE(reply->second) << "step " << step - steps.begin();
                EXPECT_TRUE(reached != steps.end() && step <= reached)
                    << "a confirmed configuration was lost";
            }
        }
        // A save cut short leaves at most its temporary file behind: "." and a UUID.
        for (const std::string& name : testing::temporaryNames(protection)) {
            EXPECT_TRUE(UUID::parse(name.substr(1)).has_value()) << name;
        }
        cutMidway += reached != steps.end() && reached + 1 != steps.end() ? 1 : 0;
        onDisk = found;
        played += round > 0 ? 1 : 0;
    }
    // The last record is served too.
    restart(onDisk);

    EXPECT_GE(played, 10) << "too few rounds in the time allowed";
    // Kills land anywhere in the burst, so some must have cut one short.
    EXPECT_GT(cutMidway, 0) << "no kill landed in the middle of a burst in " << played;
}

}  // namespace
}  // namespace quorin::daemon
