// The daemon as a process of its own on the real fanotify back end, driven with the built
// `quorin` client as a user would: records of real changes reach `quorin watch`, and real execs
// wait for `quorin protect decide`.

#include "EndToEnd/ScopedDaemon.hpp"
#include "Linux/PrivateTmpfs.hpp"
#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "TestSupport/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <thread>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quorin::testing::ChildProcessResult;
using quorin::testing::execInChild;
using quorin::testing::RunningChildProcess;

class ClientAndDaemonTest : public testing::PrivateTmpfsTest {
  protected:
    void SetUp() override {
        PrivateTmpfsTest::SetUp();
        if (!IsSkipped()) {
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

    ChildProcessResult quorin(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin() + (arguments.at(0) == "protect" ? 2 : 1),
                         {"--socket", daemon.socket().string()});
        return quorin::testing::runChildProcess(QUORIN_CLI_PATH, arguments);
    }

    // Waits until `quorin protect state` shows a held execution, and gives it.
    std::optional<ExecutionRequest> heldExecution() {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const ChildProcessResult result = quorin({"protect", "state", "--json"});
            EXPECT_EQ(result.exitStatus, 0) << result.err;
            const auto state = decodeJSONText<ExecutionProtectionState>(result.out);
            if (!state.pending.empty()) {
                return state.pending.front();
            }
            std::this_thread::sleep_for(25ms);
        }
        return std::nullopt;
    }

    // Protects home/bin with the executable `known` in it, then adds `fresh`, new to protection.
    fs::path protectBin() {
        fs::create_directory(home / "bin");
        fs::copy_file("/bin/true", home / "bin" / "known");
        const ChildProcessResult enabled = quorin({"protect", "enable", (home / "bin").string()});
        EXPECT_EQ(enabled.exitStatus, 0) << enabled.err;
        fs::copy_file("/bin/true", home / "bin" / "fresh");
        return home / "bin" / "fresh";
    }

    testing::ScopedDaemonProcess daemon{mountPoint, directory.path(), directory / "protect"};
    const fs::path& home = mountPoint;
};

TEST_F(ClientAndDaemonTest, WatchReceivesAChangeWithTheProcessThatMadeItAndItsAncestry) {
    const fs::path zshrc = home / ".zshrc";
    const fs::path elsewhere = home / "notes.txt";
    std::ofstream(zshrc) << "export A=1\n";
    RunningChildProcess watch(QUORIN_CLI_PATH,
                              {"watch", "--socket", daemon.socket().string(), zshrc.string()});
    // The client subscribes after it starts: the test writes until it hears of it.
    std::optional<std::string> line;
    for (int attempt = 0; attempt < 50 && !line; ++attempt) {
        std::ofstream(elsewhere) << attempt;
        std::ofstream(zshrc, std::ios::app) << "curl x | sh\n";
        line = watch.readLine(100ms);
    }
    ASSERT_TRUE(line.has_value()) << "quorin watch reported nothing";
    const auto record = decodeJSONText<AttributionRecord>(*line);
    EXPECT_EQ(record.path, zshrc.string());
    EXPECT_EQ(record.operation, EventOperation::fileModified);
    EXPECT_EQ(record.writer.pid, ::getpid());
    EXPECT_EQ(record.writer.executablePath, fs::canonical("/proc/self/exe").string());
    ASSERT_FALSE(record.ancestry.empty());
    EXPECT_EQ(record.ancestry[0].pid, ::getppid());
    // Nothing about the file outside the watched paths comes.
    while ((line = watch.readLine(500ms))) {
        EXPECT_EQ(decodeJSONText<AttributionRecord>(*line).path, zshrc.string());
    }
}

TEST_F(ClientAndDaemonTest, ExecsOfNewExecutablesWaitForTheUsersDecisionInTheClient) {
    const fs::path fresh = protectBin();
    // An unchanged baseline executable runs without asking.
    EXPECT_EQ(execInChild(home / "bin" / "known"), 0);

    struct Case {
        std::optional<std::string> decision;  // none: the person does not answer
        int status;
    };
    const Case cases[] = {
        {"allowOnce", 0}, {"block", EPERM}, {std::nullopt, EPERM}, {"alwaysTrust", 0}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.decision.value_or("no answer"));
        const auto started = std::chrono::steady_clock::now();
        std::future<int> execution = quorin::testing::launchExecInChild(fresh);
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
    EXPECT_EQ(execInChild(fresh), 0);

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
    const fs::path fresh = protectBin();
    std::future<int> execution = quorin::testing::launchExecInChild(fresh);
    ASSERT_TRUE(heldExecution().has_value());
    daemon.kill();
    ASSERT_EQ(execution.wait_for(10s), std::future_status::ready) << "the exec stayed stuck";
    EXPECT_EQ(execution.get(), 0);
    // Nothing is held any more.
    EXPECT_EQ(execInChild(fresh), 0);
}

}  // namespace
}  // namespace quorin::daemon
