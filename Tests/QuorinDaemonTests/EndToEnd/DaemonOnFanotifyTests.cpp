#include "QuorinDaemon/Daemon.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "Linux/ExecInChild.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/ProcAncestryWalking.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"
#include "Service/SocketPeer.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::SocketPeer;

class AdmitAll final : public PeerRequirement {
  public:
    bool satisfies(pid_t, const std::string&) const override { return true; }
};

class HomeAt final : public PasswordDatabase {
  public:
    explicit HomeAt(std::string home) : home_(std::move(home)) {}
    std::optional<std::string> homeDirectory(std::uint32_t) const override { return home_; }

  private:
    std::string home_;
};

// The daemon's wiring with the real fanotify back end, scoped to a private tmpfs that serves as
// the user's home: real file changes and real execs, made by child processes, go through it.
// Root only; a watchdog alarm ends the process (and with it every hold) if a test hangs.
class DaemonOnFanotifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to mount a private file system and to use fanotify";
        }
        ::alarm(180);
        fs::create_directory(directory / "home");
        if (::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=32m,mode=0755") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
        mounted = true;
        pool = std::make_unique<asio::thread_pool>(4);
        dispatch.emplace(pool->get_executor());
        transport.emplace(pool->get_executor(), directory.path().string(), peers);
        endpointSecurity.emplace(home.string(), clock, log);
        daemon.emplace(DaemonServices{*endpointSecurity, walking, log, terminator, *dispatch, clock,
                                      codeSigning, *transport, passwords,
                                      (directory / "protect").string()});
    }

    void TearDown() override {
        if (pool) {
            pool->stop();
            pool->join();
        }
        // What was still pending on the queues (held messages) lets go of the service's messages
        // before the service goes.
        daemon.reset();
        pool.reset();
        endpointSecurity.reset();
        if (mounted) {
            ::umount2(home.c_str(), MNT_DETACH);
        }
        ::alarm(0);
    }

    SocketPeer connect() { return SocketPeer((directory / "com.brenmoor.quorin.daemon.xpc")); }

    std::optional<XPCValue> request(SocketPeer& peer, const std::string& selector,
                                    std::vector<XPCValue> arguments, XPCValueKind kind) {
        const std::uint64_t id = nextID++;
        peer.call(selector, std::move(arguments), id);
        return peer.reply(id, kind);
    }

    ExecutionProtectionState state(SocketPeer& peer) {
        const auto data = request(peer, "protectionStateWithReply:", {}, XPCValueKind::data);
        return decodeJSONText<ExecutionProtectionState>(std::get<XPCData>(data.value()).bytes);
    }

    // Waits until the user's state shows `count` held requests.
    std::vector<ExecutionRequest> held(SocketPeer& peer, std::size_t count) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            ExecutionProtectionState current = state(peer);
            if (current.pending.size() >= count) {
                return current.pending;
            }
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }

    quorin::testing::TemporaryDirectory directory;
    const fs::path home = directory / "home";
    bool mounted = false;
    AdmitAll peers;
    HomeAt passwords{home.string()};
    const ProcAncestryWalking walking{};
    std::shared_ptr<testing::CapturingLogSink> log = std::make_shared<testing::CapturingLogSink>();
    testing::RecordingTerminator terminator;
    SystemClock clock;
    UnsignedCodeSigning codeSigning;
    std::unique_ptr<asio::thread_pool> pool;
    std::optional<AsioDispatch> dispatch;
    std::optional<UnixSocketTransport> transport;
    std::optional<FanotifyEndpointSecurity> endpointSecurity;
    std::optional<Daemon> daemon;
    std::uint64_t nextID = 1;
};

TEST_F(DaemonOnFanotifyTest, ChangesByAProcessReachTheWatchingClientWithItsAncestry) {
    const fs::path zshrc = home / ".zshrc";
    std::ofstream(zshrc) << "export A=1\n";
    SocketPeer peer = connect();
    peer.call("setProtectedPaths:", {std::vector<std::string>{zshrc.string()}});
    const auto subscribed = request(peer, "statusWithReply:", {}, XPCValueKind::text);
    ASSERT_EQ(std::get<std::string>(subscribed.value()).rfind("subscribed:", 0), 0u);

    // The shell writes itself (a built-in echo) and stays alive while the record is made.
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::execl("/bin/sh", "sh", "-c", ("echo B=2 >> " + zshrc.string() + "; sleep 2").c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::ofstream(home / "elsewhere") << "not watched\n";
    const std::optional<XPCInvocation> delivered = peer.callback(10s);
    ASSERT_TRUE(delivered.has_value());
    const auto record =
        decodeJSONText<AttributionRecord>(std::get<XPCData>(delivered->arguments.at(0)).bytes);
    EXPECT_EQ(record.path, zshrc.string());
    EXPECT_EQ(record.operation, EventOperation::fileModified);
    EXPECT_EQ(record.writer.pid, writer);
    EXPECT_EQ(record.writer.executablePath, fs::canonical("/bin/sh").string());
    ASSERT_FALSE(record.ancestry.empty());
    EXPECT_EQ(record.ancestry[0].pid, ::getpid());
    int status = 0;
    ::waitpid(writer, &status, 0);
}

TEST_F(DaemonOnFanotifyTest, ExecsOfNewExecutablesWaitForTheUsersDecision) {
    fs::create_directory(home / "bin");
    const fs::path known = home / "bin" / "known";
    fs::copy_file("/bin/true", known);
    SocketPeer peer = connect();
    ExecutionProtectionConfiguration configuration;
    configuration.enabled = true;
    configuration.executableRoots = {(home / "bin").string()};
    struct stat status {};
    ::lstat(known.c_str(), &status);
    configuration.baseline.emplace(known.string(), fileVersion(status));
    ASSERT_EQ(request(peer, "configureProtection:reply:", {XPCData{encodeJSONText(configuration)}},
                      XPCValueKind::boolean),
              XPCValue(true));

    // An unchanged baseline executable runs without asking.
    EXPECT_EQ(testing::execInChild(known), 0);

    const fs::path fresh = home / "bin" / "fresh";
    fs::copy_file("/bin/true", fresh);
    struct Case {
        const char* decision;
        int status;
    };
    const Case cases[] = {{"allowOnce", 0}, {"block", EPERM}, {"alwaysTrust", 0}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.decision);
        std::future<int> execution = testing::launchExecInChild(fresh);
        const std::vector<ExecutionRequest> pending = held(peer, 1);
        ASSERT_EQ(pending.size(), 1u);
        EXPECT_EQ(pending[0].path, fresh.string());
        EXPECT_EQ(execution.wait_for(0s), std::future_status::timeout);  // still held
        EXPECT_EQ(request(peer, "decideExecution:decision:reply:",
                          {pending[0].id.uuidString(), std::string(test.decision)},
                          XPCValueKind::boolean),
                  XPCValue(true));
        EXPECT_EQ(execution.get(), test.status);
    }
    // Trusted now: the same content runs without asking.
    EXPECT_EQ(testing::execInChild(fresh), 0);

    const auto history = request(peer, "exportExecutionHistoryWithReply:", {}, XPCValueKind::data);
    std::vector<std::string> reasons;
    for (const ExecutionOutcome& outcome :
         decodeJSONText<std::vector<ExecutionOutcome>>(std::get<XPCData>(history.value()).bytes)) {
        reasons.push_back(outcome.reason);
    }
    EXPECT_EQ(reasons,
              (std::vector<std::string>{"Allowed once", "Blocked by user",
                                        "Allowed; saving trust rule", "Allowed by trust rule"}));
}

}  // namespace
}  // namespace quorin::daemon
