// The daemon as a process of its own on the real fanotify back end, driven with the built
// `quorin` client as a user would: records of real changes reach `quorin watch`, and real execs
// wait for `quorin protect decide`.

#include "Linux/PrivatePolkit.hpp"
#include "Linux/PrivateTmpfs.hpp"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <tuple>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quorin::testing::ChildProcessResult;
using quorin::testing::execInChild;
using quorin::testing::launchExecInChild;

// What the unit leaves the daemon of root's power, as setpriv runs a program with it: the
// capabilities it bounds the daemon to, and no new privileges.
std::vector<std::string> unitPrivileges() {
    std::ifstream unit(QUORIN_UNIT_TEMPLATE_PATH);
    std::string line;
    std::string bounds = "--bounding-set=-all";
    while (std::getline(unit, line)) {
        constexpr std::string_view key = "CapabilityBoundingSet=";
        if (line.starts_with(key)) {
            std::istringstream names(line.substr(key.size()));
            for (std::string name; names >> name;) {
                std::transform(name.begin(), name.end(), name.begin(),
                               [](unsigned char letter) { return std::tolower(letter); });
                bounds += ",+" + name.substr(std::string_view("cap_").size());
            }
        }
    }
    return {"/usr/bin/setpriv", bounds, "--no-new-privs"};
}

// `variables`, then the test's own environment.
std::vector<std::string> withOwnEnvironment(std::vector<std::string> variables) {
    for (char** variable = environ; *variable != nullptr; ++variable) {
        variables.emplace_back(*variable);
    }
    return variables;
}

// The daemon runs with the unit's privileges, so every test here also shows that they are enough.
class ClientAndDaemonTest : public testing::PrivateTmpfsTest {
  protected:
    void SetUp() override {
        PrivateTmpfsTest::SetUp();
        if (!IsSkipped()) {
            daemon.launcher = unitPrivileges();
            daemon.start();
        }
    }

    void TearDown() override {
        daemon.kill();
        if (HasFailure()) {
            std::cerr << "The daemon's log:\n" << testing::contentsOf(daemon.log()).value_or("");
        }
        PrivateTmpfsTest::TearDown();
    }

    // The built client on the daemon's socket, run as root or, as a user's own shell runs it, as
    // `user` (and the group with the same number).
    ChildProcessResult runQuorin(std::vector<std::string> arguments,
                                 std::optional<uid_t> user = std::nullopt) {
        arguments.insert(arguments.begin() + (arguments.at(0) == "protect" ? 2 : 1),
                         {"--socket", daemon.socket().string()});
        if (!user) {
            return quorin::testing::runChildProcess(QUORIN_CLI_PATH, arguments);
        }
        const std::string id = std::to_string(*user);
        arguments.insert(arguments.begin(),
                         {"--reuid=" + id, "--regid=" + id, "--clear-groups", QUORIN_CLI_PATH});
        return quorin::testing::runChildProcess("/usr/bin/setpriv", arguments);
    }

    // `runQuorin` of a command that must succeed.
    ChildProcessResult quorin(std::vector<std::string> arguments,
                              std::optional<uid_t> user = std::nullopt) {
        const ChildProcessResult result = runQuorin(std::move(arguments), user);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return result;
    }

    // Root acting for another user with `--user`. (LeakSanitizer, in the sanitizer builds, cannot
    // read a process whose effective user changed, and would fail the client as it ends.)
    ChildProcessResult quorinAsAdministrator(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin() + 2, {"--socket", daemon.socket().string()});
        return quorin::testing::runChildProcess(
            QUORIN_CLI_PATH, arguments, withOwnEnvironment({"ASAN_OPTIONS=detect_leaks=0"}));
    }

    // Waits until `quorin protect state` of `user` (root when absent) shows a held execution of
    // `path` (of any, when absent), and gives it.
    std::optional<ExecutionRequest> heldExecution(std::optional<uid_t> user = std::nullopt,
                                                  const std::optional<fs::path>& path = {}) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const auto state = decodeJSONText<ExecutionProtectionState>(
                quorin({"protect", "state", "--json"}, user).out);
            for (const ExecutionRequest& request : state.pending) {
                if (!path || request.path == path->string()) {
                    return request;
                }
            }
            std::this_thread::sleep_for(25ms);
        }
        return std::nullopt;
    }

    testing::ScopedDaemonProcess daemon{mountPoint, directory.path(), directory / "protect"};
    const fs::path& home = mountPoint;
};

// A second daemon on the same socket directory ends and leaves it to the first, which goes on
// serving below; one whose socket cannot be made says so and ends. A change reaches `quorin
// watch` with the process that made it (which changes come and how the writer's ancestry is read
// is the back ends' to check); execs of new executables are held, and run when the daemon dies.
TEST_F(ClientAndDaemonTest, ChangesReachWatchAndExecsWaitForTheUser) {
    fs::create_directories(directory / "busy" / daemon.socket().filename());
    // Only the second can never succeed as things stand: its status keeps the unit from
    // starting it again.
    for (const auto& [socketDirectory, message, exitStatus] :
         {std::tuple{
              directory / "run",
              "quorin daemon already running (pid " + std::to_string(daemon.process->pid()) + ")",
              1},
          {directory / "busy", "start-up failed: bind: Address already in use", 78}}) {
        const ChildProcessResult second = quorin::testing::runChildProcess(
            QUORIN_SCOPED_DAEMON_PATH, {home, socketDirectory, socketDirectory / "protect", home});
        EXPECT_EQ(second.exitStatus, exitStatus);
        EXPECT_TRUE(second.err.ends_with("<2>com.brenmoor.quorin.daemon/daemon: " + message + "\n"))
            << second.err;
    }

    const fs::path zshrc = home / ".zshrc";
    std::ofstream(zshrc) << "export A=1\n";
    quorin::testing::RunningChildProcess watch(
        QUORIN_CLI_PATH, {"watch", "--json", "--socket", daemon.socket().string(), zshrc.string()});
    // The client subscribes after it starts: the test writes until it hears of it.
    std::optional<std::string> line;
    for (int attempt = 0; attempt < 50 && !line; ++attempt) {
        std::ofstream(home / "notes.txt") << attempt;
        std::ofstream(zshrc, std::ios::app) << "curl x | sh\n";
        line = watch.readLine(100ms);
    }
    ASSERT_TRUE(line.has_value()) << "quorin watch reported nothing";
    const auto record = decodeJSONText<AttributionRecord>(*line);
    EXPECT_EQ(record.path, zshrc.string());
    EXPECT_EQ(record.operation, EventOperation::fileModified);
    EXPECT_EQ(record.writer.pid, ::getpid());

    // home/bin is protected with the executable `known` in it; `other` is new to protection.
    const fs::path bin = home / "bin";
    fs::create_directory(bin);
    fs::copy_file("/bin/true", bin / "known");
    quorin({"protect", "enable", bin.string()});
    fs::copy_file("/bin/false", bin / "other");
    // An unchanged baseline executable runs without asking.
    EXPECT_EQ(execInChild(bin / "known"), 0);

    // An exec held when the daemon process is killed runs (`false` exits with 1), and nothing is
    // held any more.
    std::future<int> execution = launchExecInChild(bin / "other");
    ASSERT_TRUE(heldExecution().has_value());
    daemon.kill();
    ASSERT_EQ(execution.wait_for(10s), std::future_status::ready) << "the exec stayed stuck";
    EXPECT_EQ(execution.get(), 1);
    EXPECT_EQ(execInChild(bin / "other"), 1);
}

// Started by a service manager, the daemon says it is ready with how its start-up went, then feeds
// the watchdog at each third of its interval, and goes on feeding it while an exec waits for its
// user.
TEST_F(ClientAndDaemonTest, TellsTheServiceManagerItIsReadyAndFeedsItsWatchdog) {
    const fs::path notifications = directory / "notify";
    const UniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    notifications.string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(manager.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    daemon.environment =
        withOwnEnvironment({"NOTIFY_SOCKET=" + notifications.string(), "WATCHDOG_USEC=600000"});
    daemon.start();
    const auto next = [&manager] {
        pollfd ready{manager.get(), POLLIN, 0};
        std::array<char, 512> message{};
        const ssize_t length = ::poll(&ready, 1, 10'000) == 1
                                   ? ::recv(manager.get(), message.data(), message.size(), 0)
                                   : 0;
        return std::string(message.data(), static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    };
    EXPECT_EQ(next(), "READY=1\nSTATUS=started; file events: subscribed; exec checking: available");
    EXPECT_EQ(next(), "WATCHDOG=1");

    const fs::path bin = home / "bin";
    fs::create_directory(bin);
    quorin({"protect", "enable", bin.string()});
    fs::copy_file("/bin/false", bin / "fresh");
    std::future<int> execution = launchExecInChild(bin / "fresh");
    ASSERT_TRUE(heldExecution().has_value());
    const auto held = std::chrono::steady_clock::now();
    for (int feed = 0; feed < 4; ++feed) {
        EXPECT_EQ(next(), "WATCHDOG=1");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - held, 400ms) << "fed faster than asked";
    daemon.kill();
    EXPECT_EQ(execution.get(), 1);
}

// The file an exec runs is the one judged: a file rewritten after it was identified is blocked
// when the user would trust it, and nothing is trusted. (That a file with no path is held is the
// back end's and the policy's to check.)
TEST_F(ClientAndDaemonTest, HeldFilesAreJudgedAsTheExecHandedThemOver) {
    const fs::path bin = home / "bin";
    fs::create_directory(bin);
    quorin({"protect", "enable", bin.string()});
    fs::copy_file("/bin/true", bin / "rewritten");
    std::future<int> execution = launchExecInChild(bin / "rewritten");
    std::optional<ExecutionRequest> request;
    for (int attempt = 0; attempt < 200 && !(request && request->canAlwaysTrust); ++attempt) {
        request = heldExecution();  // until it is identified
    }
    ASSERT_TRUE(request && request->canAlwaysTrust);
    std::ofstream(bin / "rewritten", std::ios::app) << "more code";
    const ChildProcessResult trusted =
        runQuorin({"protect", "decide", request->id.uuidString(), "alwaysTrust"});
    EXPECT_EQ(trusted.exitStatus, 1);
    EXPECT_EQ(execution.get(), EPERM);
    const auto state =
        decodeJSONText<ExecutionProtectionState>(quorin({"protect", "state", "--json"}).out);
    EXPECT_EQ(state.trustedRuleCount, 0);
    ASSERT_FALSE(state.outcomes.empty());
    EXPECT_EQ(state.outcomes.front().reason, "Blocked: executable changed while held");
}

// The number of descriptors `pid` has open.
std::ptrdiff_t descriptorsOf(pid_t pid) {
    const fs::path list = "/proc/" + std::to_string(pid) + "/fd";
    return std::distance(fs::directory_iterator(list), fs::directory_iterator());
}

// What one unprivileged user can throw at the daemon, run in a process of its own as `nobody`:
// it protects its folder `a`, opens 1,100 connections and keeps them, then execs a new file there
// 80 times a second for 20 s. Its exit status is how many of those execs ran: none may, since
// nobody answers.
int flood(const fs::path& socket, const fs::path& folder) {
    constexpr uid_t nobody = 65534;
    const rlimit descriptors{4'096, 4'096};
    if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0 || ::setgid(nobody) != 0 ||
        ::setuid(nobody) != 0) {
        return 100;
    }
    ExecutionProtectionConfiguration configuration{.enabled = true,
                                                   .executableRoots = {folder.string()}};
    if (!testing::SocketPeer(socket).ask<bool>("configureProtection:reply:",
                                               {XPCData{encodeJSONText(configuration)}})) {
        return 101;
    }
    std::vector<std::unique_ptr<testing::SocketPeer>> connections;
    for (int index = 0; index < 1'100; ++index) {
        connections.push_back(std::make_unique<testing::SocketPeer>(socket));
    }
    int ran = 0;
    const auto reapEnded = [&](int options) {
        int status = 0;
        pid_t child = 0;
        while ((child = ::waitpid(-1, &status, options)) > 0) {
            ran += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
        }
    };
    for (int index = 0; index < 1'600; ++index) {
        const fs::path fresh = folder / std::to_string(index);
        std::ofstream(fresh) << "#!/bin/true\n";
        fs::permissions(fresh, fs::perms::owner_all);
        if (::fork() == 0) {
            ::close_range(3, ~0U, 0);
            ::execl(fresh.c_str(), fresh.c_str(), static_cast<char*>(nullptr));
            ::_exit(errno);
        }
        reapEnded(WNOHANG);
        std::this_thread::sleep_for(12500us);
    }
    reapEnded(0);
    return ran;
}

// One local user floods the daemon with connections and execs; another user's new executable is
// still held until its owner decides, and the daemon stays up with few descriptors open.
TEST_F(ClientAndDaemonTest, AnotherUsersFloodNeitherStopsExecCheckingNorLetsItsExecsRun) {
    const fs::path bin = home / "bin";
    const fs::path folder = home / "a";
    fs::create_directories(bin);
    fs::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    quorin({"protect", "enable", bin.string()});
    fs::permissions(directory.path(), fs::perms::owner_all | fs::perms::others_exec);
    const pid_t attacker = ::fork();
    if (attacker == 0) {
        try {
            ::_exit(flood(daemon.socket(), folder));
        } catch (...) {
            ::_exit(102);
        }
    }
    std::this_thread::sleep_for(5s);  // the connections are open and the execs under way
    fs::copy_file("/bin/true", bin / "fresh");
    std::future<int> execution = launchExecInChild(bin / "fresh");
    const std::optional<ExecutionRequest> request = heldExecution();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->path, (bin / "fresh").string());
    EXPECT_LT(descriptorsOf(daemon.process->pid()), 256);
    quorin({"protect", "decide", request->id.uuidString(), "allowOnce"});
    EXPECT_EQ(execution.get(), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(attacker, &status, 0), attacker);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "execs that ran unasked";
    EXPECT_LT(descriptorsOf(daemon.process->pid()), 256);
    EXPECT_EQ(quorin({"status"}).exitStatus, 0);
}

constexpr uid_t allowedUser = 65534;  // nobody
constexpr uid_t refusedUser = 1;      // daemon

// A system bus and polkitd of the test's own decide for the person, by rules that say yes to
// whatever `nobody` asks and no to whatever `daemon` asks.
class PersonDecidesTest : public ClientAndDaemonTest {
  protected:
    void SetUp() override {
        if (const std::optional<std::string> reason = testing::privatePolkitUnavailable()) {
            GTEST_SKIP() << *reason;
        }
        // Users reach the socket, and polkitd its bus, through the test's folder.
        fs::permissions(directory.path(), fs::perms::owner_all | fs::perms::others_exec);
        polkit.emplace(directory / "polkit", R"(polkit.addRule(function(action, subject) {
    if (action.id.indexOf("com.brenmoor.quorin.") != 0) return polkit.Result.NOT_HANDLED;
    return subject.user == "nobody" ? polkit.Result.YES : polkit.Result.NO;
});
)");
        ClientAndDaemonTest::SetUp();
    }

    std::optional<testing::PrivatePolkit> polkit;
};

// The daemon asks polkit before a user's yes lets an exec run or their protection is turned off:
// the refused user's exec stays held and is denied at its deadline, and their protection stays
// on; the allowed user's exec runs. Root decides for a user without polkit being asked. Once
// polkit is gone, even the allowed user's yes is refused, and the client says why.
TEST_F(PersonDecidesTest, OnlyWhatPolkitAuthorizesLetsAnExecutionRunOrTurnsProtectionOff) {
    std::map<uid_t, fs::path> bins;
    for (const uid_t user : {allowedUser, refusedUser}) {
        bins[user] = home / std::to_string(user);
        fs::create_directory(bins[user]);
        quorin({"protect", "enable", bins[user].string()}, user);
        for (const char* name : {"fresh", "second"}) {
            fs::copy_file("/bin/true", bins[user] / name);
        }
    }

    // `user`'s `allowOnce` of `request`, which the daemon must refuse: why the client says it was.
    const auto refusedCause = [this](const ExecutionRequest& request, uid_t user) {
        const ChildProcessResult result =
            runQuorin({"protect", "decide", request.id.uuidString(), "allowOnce"}, user);
        EXPECT_EQ(result.exitStatus, 1);
        const std::string_view said =
            "quorin protect decide: the daemon did not apply the decision";
        return result.err.starts_with(said) ? result.err.substr(said.size()) : result.err;
    };

    const auto started = std::chrono::steady_clock::now();
    std::future<int> denied = launchExecInChild(bins[refusedUser] / "fresh", refusedUser);
    const std::optional<ExecutionRequest> refused = heldExecution(refusedUser);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refusedCause(*refused, refusedUser),
              " (it was not authorized, was decided already or ran out of time)\n");
    EXPECT_EQ(runQuorin({"protect", "disable"}, refusedUser).exitStatus, 1);
    const auto state = decodeJSONText<ExecutionProtectionState>(
        quorin({"protect", "state", "--json"}, refusedUser).out);
    EXPECT_TRUE(state.enabled);
    ASSERT_EQ(state.pending.size(), 1U);
    EXPECT_EQ(state.pending.front().id, refused->id);

    std::future<int> allowed = launchExecInChild(bins[allowedUser] / "fresh", allowedUser);
    const std::optional<ExecutionRequest> asked = heldExecution(allowedUser);
    ASSERT_TRUE(asked.has_value());
    quorin({"protect", "decide", asked->id.uuidString(), "allowOnce"}, allowedUser);
    EXPECT_EQ(allowed.get(), 0);

    std::future<int> administered = launchExecInChild(bins[refusedUser] / "second", refusedUser);
    const std::optional<ExecutionRequest> second =
        heldExecution(refusedUser, bins[refusedUser] / "second");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(quorinAsAdministrator(
                  {"protect", "decide", "--user", "daemon", second->id.uuidString(), "allowOnce"})
                  .exitStatus,
              0);
    EXPECT_EQ(administered.get(), 0);

    EXPECT_EQ(denied.wait_until(started + 14s), std::future_status::timeout);
    ASSERT_EQ(denied.wait_until(started + 20s), std::future_status::ready);
    EXPECT_EQ(denied.get(), EPERM);

    polkit->stop();
    std::future<int> unreached = launchExecInChild(bins[allowedUser] / "second", allowedUser);
    const std::optional<ExecutionRequest> last =
        heldExecution(allowedUser, bins[allowedUser] / "second");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(refusedCause(*last, allowedUser),
              " (authorization unavailable: polkit cannot be reached)\n");
    EXPECT_EQ(quorinAsAdministrator(
                  {"protect", "decide", "--user", "nobody", last->id.uuidString(), "block"})
                  .exitStatus,
              0);
    EXPECT_EQ(unreached.get(), EPERM);
    // Nor does root need polkit to erase a user's record.
    EXPECT_EQ(quorinAsAdministrator({"protect", "clear-history", "--user", "nobody"}).out,
              "execution history cleared\n");
}

}  // namespace
}  // namespace quorin::daemon
