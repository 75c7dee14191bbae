#pragma once

// Running the built client, and a stand-in for the daemon's service socket: it listens in a
// temporary directory, accepts one connection and runs a test's script against it on a thread of
// its own, speaking the service's frames.

#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quorin::testing {

/// Runs the client with the words of `command`, split at each single blank (so "a " ends with an
/// empty word), in a fixed time zone two hours east of UTC and no other environment.
inline ChildProcessResult quorin(const std::string& command,
                                 const std::string& standardInput = "/dev/null",
                                 const std::vector<std::string>& environment = {"TZ=QRT-2"}) {
    std::vector<std::string> words;
    for (std::size_t start = 0; !command.empty() && start <= command.size();) {
        const std::size_t end = std::min(command.find(' ', start), command.size());
        words.push_back(command.substr(start, end - start));
        start = end + 1;
    }
    return runChildProcess(QUORIN_CLI_PATH, words, environment, std::chrono::seconds(30),
                           standardInput);
}

inline void expectRun(const ChildProcessResult& result, int status, const std::string& out,
                      const std::string& err) {
    EXPECT_EQ(result.exitStatus, status) << result.err;
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
}

/// Listens at `path()` and runs `script` on the first connection; the script talks through
/// `next`, `reply`, `deliver` and `close`. The destructor waits for the script to end, so a
/// script must end once the client has gone (`next` then gives nothing). A script that throws
/// fails the test.
class FakeDaemon {
  public:
    explicit FakeDaemon(std::function<void(FakeDaemon&)> script)
        : path_((directory_ / "daemon.sock").string()) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy(path_.begin(), path_.end(), address.sun_path);
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener_.valid() ||
            ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0 ||
            ::listen(listener_.get(), 1) != 0) {
            throw std::system_error(errno, std::generic_category(), "listen at " + path_);
        }
        thread_ = std::thread([this, script = std::move(script)] {
            try {
                // A client that never comes (it failed before connecting) ends the wait.
                pollfd incoming{listener_.get(), POLLIN, 0};
                if (::poll(&incoming, 1, 30'000) == 1) {
                    connection_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                    script(*this);
                }
            } catch (const std::exception& error) {
                ADD_FAILURE() << "the fake daemon's script failed: " << error.what();
            }
        });
    }
    ~FakeDaemon() { thread_.join(); }
    FakeDaemon(const FakeDaemon&) = delete;
    FakeDaemon& operator=(const FakeDaemon&) = delete;

    const std::string& path() const { return path_; }

    /// The next call the client sent, or nothing once it has closed the connection.
    std::optional<XPCInvocation> next() {
        static const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
        while (true) {
            if (std::optional<std::string> body = reader_.next()) {
                return decodeInvocation(*body, interface);
            }
            char buffer[65536];
            const ssize_t count = ::recv(connection_.get(), buffer, sizeof buffer, 0);
            if (count <= 0 && (count == 0 || errno != EINTR)) {
                return std::nullopt;
            }
            reader_.append(std::string_view(buffer, static_cast<std::size_t>(std::max(count, 0L))));
        }
    }

    void reply(std::uint64_t id, XPCValue value) {
        write(encodeReply(XPCReply{id, std::move(value)}));
    }

    void deliver(const std::string& recordJSON) {
        write(encodeInvocation(
            XPCInvocation{std::nullopt, "deliver:", {XPCValue(XPCData{recordJSON})}}));
    }

    void close() { connection_.reset(); }

  private:
    void write(const std::string& body) {
        const std::string bytes = framed(body);
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t count =
                ::send(connection_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "send");
            }
            sent += static_cast<std::size_t>(std::max(count, 0L));
        }
    }

    TemporaryDirectory directory_;
    std::string path_;
    UniqueFd listener_;
    UniqueFd connection_;
    XPCFrameReader reader_;
    std::thread thread_;
};

}  // namespace quorin::testing
