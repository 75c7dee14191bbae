#pragma once

// The daemon's own wiring for tests, on a socket in a temporary directory, with fake
// security-event and code-signing services: everything else is real (queues, clock, socket,
// storage). Peers connect as the test's own user, or, when the test runs as root, as users the
// test made up.

#include "QuorinDaemon/Daemon.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeAccounts.hpp"
#include "Fakes/FakeAuthority.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "Messages.hpp"
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

#include <filesystem>
#include <future>
#include <system_error>

namespace quorin::daemon::testing {

class DaemonOverSocketTest : public ::testing::Test {
  protected:
    using Interfaces = QuorinDaemonXPCInterfaces;

    // Peers of other users reach the socket through the directory. A fixture that scripts the
    // security-event service does so before this runs.
    void SetUp() override {
        std::filesystem::permissions(
            directory.path(),
            std::filesystem::perms::group_exec | std::filesystem::perms::others_exec,
            std::filesystem::perm_options::add);
        daemon.emplace(DaemonServices{endpointSecurity, walking, log, terminator, dispatch, clock,
                                      codeSigning, transport, authority, passwords,
                                      (directory / "protect").string()});
    }

    // The daemon's listener waits for connections for ever, so its queues stop first: nothing
    // runs any more, then the daemon goes, then the queues with what was still pending on them
    // (held messages, replies), while the services those refer to are still there.
    void TearDown() override {
        endpointSecurity.stopDelivering();
        pool->stop();
        pool->join();
        daemon.reset();
        pool.reset();
    }

    SocketPeer connect() { return SocketPeer((directory / "com.brenmoor.quorin.daemon.xpc")); }

    /// Peers of users `first` to `first + count - 1`, each connected as itself, with a home whose
    /// "bin", holding an executable "tool" of its own, is protected. Needs root. Only a short-lived
    /// thread takes the user id, with the raw system call (the C library's would switch every
    /// thread): the kernel records the connecting thread's effective user id as the peer's.
    std::vector<SocketPeer> protectedUsers(std::uint32_t first, std::uint32_t count) {
        std::vector<SocketPeer> users;
        for (std::uint32_t uid = first; uid < first + count; ++uid) {
            std::filesystem::create_directories(homeOf(uid) / "bin");
            directory.write("users/" + std::to_string(uid) + "/bin/tool",
                            "#!/bin/sh\necho tool" + std::to_string(uid) + "\n");
            passwords.add(uid, homeOf(uid).string());
            users.push_back(std::async(std::launch::async, [&] {
                                if (::syscall(SYS_setresuid, -1L, static_cast<long>(uid), -1L)) {
                                    throw std::system_error(errno, std::generic_category());
                                }
                                return connect();
                            }).get());
            const ExecutionProtectionConfiguration enabled{
                .enabled = true, .executableRoots = {(homeOf(uid) / "bin").string()}};
            EXPECT_TRUE(users.back().ask<bool>("configureProtection:reply:",
                                               {XPCData{encodeJSONText(enabled)}}));
        }
        return users;
    }

    std::filesystem::path homeOf(std::uint32_t uid) const {
        return home / "users" / std::to_string(uid);
    }

    /// A write to `path`, which the security-event service delivers when a prefix selects it.
    std::size_t write(const std::string& path) {
        es_message_t change = message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
        change.event.write.target = file(path);
        return endpointSecurity.deliver(change);
    }

    /// Delivers an exec of `name` in user `uid`'s "bin" with a minute left to answer.
    void deliverExec(std::uint32_t uid, const std::string& name) {
        endpointSecurity.deliver(execMessage(uid, (homeOf(uid) / "bin" / name).string(),
                                             std::nullopt, clock.absoluteTime() + 60'000'000'000));
    }

    quorin::testing::TemporaryDirectory directory;
    const std::filesystem::path home = std::filesystem::canonical(directory.path());
    std::unique_ptr<asio::thread_pool> pool = std::make_unique<asio::thread_pool>(3);
    AsioDispatch dispatch{pool->get_executor()};
    FakePeerRequirement peers;
    FakePasswordDatabase passwords{{{::geteuid(), home.string()}}};
    FakeEndpointSecurity endpointSecurity;
    quorin::testing::TableAncestryWalking walking{{{4242, 1}}};
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    UnixSocketTransport transport{pool->get_executor(), directory.path().string(), peers, log};
    RecordingTerminator terminator;
    SystemClock clock;
    FakeCodeSigning codeSigning;
    FakeAuthority authority;
    std::optional<Daemon> daemon;
};

}  // namespace quorin::daemon::testing
