#pragma once

// The daemon's own wiring for tests, on a socket in a temporary directory, with fake
// security-event and code-signing services: everything else is real (queues, clock, socket,
// storage). Peers connect as the test's own user, or, when the test runs as root, as any user id
// the test gave a home directory; helpers send the protection requests and decode their replies.

#include "QuorinDaemon/Daemon.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "Messages.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinDaemon/Platform/Linux/AsioDispatch.hpp"
#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"
#include "Service/SocketPeer.hpp"
#include "TestSupport/TableAncestryWalking.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace quorin::daemon::testing {

// Admits the peers the test says, and remembers what it was asked.
class ScriptedPeerRequirement final : public PeerRequirement {
  public:
    bool satisfies(pid_t pid, const std::string& requirement) const override {
        const std::lock_guard lock(mutex_);
        asked_.emplace_back(pid, requirement);
        return admit;
    }
    std::vector<std::pair<pid_t, std::string>> asked() const {
        const std::lock_guard lock(mutex_);
        return asked_;
    }
    std::atomic<bool> admit{true};

  private:
    mutable std::mutex mutex_;
    mutable std::vector<std::pair<pid_t, std::string>> asked_;
};

// The test's own user has `home`; other users have the homes the test adds before they connect.
class UserHomes final : public PasswordDatabase {
  public:
    explicit UserHomes(std::string home) : homes_{{::geteuid(), std::move(home)}} {}
    std::optional<std::string> homeDirectory(std::uint32_t uid) const override {
        const std::lock_guard lock(mutex_);
        const auto found = homes_.find(uid);
        return found == homes_.end() ? std::nullopt : std::optional(found->second);
    }
    void add(std::uint32_t uid, std::string home) {
        const std::lock_guard lock(mutex_);
        homes_.insert_or_assign(uid, std::move(home));
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::string> homes_;
};

class DaemonOverSocketTest : public ::testing::Test {
  protected:
    using Interfaces = QuorinDaemonXPCInterfaces;

    // Peers of other users reach the socket through the directory.
    DaemonOverSocketTest() {
        std::filesystem::permissions(
            directory.path(),
            std::filesystem::perms::group_exec | std::filesystem::perms::others_exec,
            std::filesystem::perm_options::add);
    }

    // The daemon is not made to stop (its listener waits for connections for ever), so its
    // queues are stopped instead: first nothing runs any more, then the daemon goes, then the
    // queues with what was still pending on them (held messages, replies), while the services
    // those refer to are still there.
    void TearDown() override {
        endpointSecurity.stopDelivering();
        pool->stop();
        pool->join();
        daemon.reset();
        pool.reset();
    }

    static bool runningAsRoot() { return ::geteuid() == 0; }

    SocketPeer connect() { return SocketPeer((directory / "com.brenmoor.quorin.daemon.xpc")); }

    /// A peer whose credentials, as the kernel reports them to the daemon, are user `uid`'s.
    /// Needs root. Only a short-lived thread of this process takes the user id, with the raw
    /// system call (the C library's would switch every thread): the kernel records the
    /// connecting thread's effective user id as the peer's.
    SocketPeer connectAs(std::uint32_t uid) {
        std::optional<SocketPeer> peer;
        std::exception_ptr failure;
        std::thread([&] {
            if (::syscall(SYS_setresuid, -1L, static_cast<long>(uid), -1L) != 0) {
                failure = std::make_exception_ptr(std::system_error(
                    errno, std::generic_category(), "setresuid " + std::to_string(uid)));
                return;
            }
            try {
                peer.emplace(connect());
            } catch (...) {
                failure = std::current_exception();
            }
        }).join();
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*peer);
    }

    /// A home directory for user `uid`, with an empty "bin" folder in it.
    std::filesystem::path addUser(std::uint32_t uid) {
        const std::filesystem::path userHome = home / "users" / std::to_string(uid);
        std::filesystem::create_directories(userHome / "bin");
        passwords.add(uid, userHome.string());
        return userHome;
    }

    std::optional<XPCValue> request(SocketPeer& peer, const std::string& selector,
                                    std::vector<XPCValue> arguments, XPCValueKind kind) {
        const std::uint64_t id = nextID++;
        peer.call(selector, std::move(arguments), id);
        return peer.reply(id, kind);
    }

    std::string status(SocketPeer& peer) {
        const auto value = request(peer, "statusWithReply:", {}, XPCValueKind::text);
        return value ? std::get<std::string>(*value) : "<no reply>";
    }

    bool booleanRequest(SocketPeer& peer, const std::string& selector,
                        std::vector<XPCValue> arguments = {}) {
        const auto value = request(peer, selector, std::move(arguments), XPCValueKind::boolean);
        return value && std::get<bool>(*value);
    }

    std::string dataRequest(SocketPeer& peer, const std::string& selector) {
        const auto value = request(peer, selector, {}, XPCValueKind::data);
        return value ? std::get<XPCData>(*value).bytes : std::string();
    }

    bool configure(SocketPeer& peer, std::vector<std::string> roots) {
        ExecutionProtectionConfiguration configuration;
        configuration.enabled = true;
        configuration.executableRoots = std::move(roots);
        return booleanRequest(
            peer, "configureProtection:reply:", {XPCData{encodeJSONText(configuration)}});
    }

    ExecutionProtectionState state(SocketPeer& peer) {
        return decodeJSONText<ExecutionProtectionState>(
            dataRequest(peer, "protectionStateWithReply:"));
    }

    std::vector<ExecutionOutcome> history(SocketPeer& peer) {
        return decodeJSONText<std::vector<ExecutionOutcome>>(
            dataRequest(peer, "exportExecutionHistoryWithReply:"));
    }

    bool decide(SocketPeer& peer, const UUID& id, const std::string& decision) {
        return booleanRequest(peer, "decideExecution:decision:reply:", {id.uuidString(), decision});
    }

    /// Delivers an exec of `target` by user `uid` with a minute left to answer.
    void deliverExec(std::uint32_t uid, const std::filesystem::path& target) {
        endpointSecurity.deliver(
            execMessage(uid, target.string(), std::nullopt, clock.absoluteTime() + 60'000'000'000));
    }

    quorin::testing::TemporaryDirectory directory;
    const std::filesystem::path home = std::filesystem::canonical(directory.path());
    std::unique_ptr<asio::thread_pool> pool = std::make_unique<asio::thread_pool>(3);
    AsioDispatch dispatch{pool->get_executor()};
    ScriptedPeerRequirement peers;
    UnixSocketTransport transport{pool->get_executor(), directory.path().string(), peers};
    UserHomes passwords{home.string()};
    FakeEndpointSecurity endpointSecurity;
    quorin::testing::TableAncestryWalking walking{{{4242, 1}}};
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    RecordingTerminator terminator;
    SystemClock clock;
    FakeCodeSigning codeSigning;
    std::optional<Daemon> daemon{
        std::in_place,
        DaemonServices{endpointSecurity, walking, log, terminator, dispatch, clock, codeSigning,
                       transport, passwords, (directory / "protect").string()}};
    std::atomic<std::uint64_t> nextID = 1;
};

}  // namespace quorin::daemon::testing
