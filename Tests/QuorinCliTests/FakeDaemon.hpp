#pragma once

// A stand-in for the daemon's service socket: it listens on a socket in a temporary directory,
// accepts one connection and runs a test's script against it on a thread of its own, speaking
// the service's frames.

#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace quorin::testing {

/// The daemon's end of one connection, as the script sees it.
class FakeDaemonPeer {
  public:
    explicit FakeDaemonPeer(UniqueFd socket) : socket_(std::move(socket)) {}

    /// The next call the client sent; throws when the client closed the connection first.
    XPCInvocation nextCall() {
        if (std::optional<XPCInvocation> call = nextCallIfAny()) {
            return std::move(*call);
        }
        throw std::runtime_error("the client closed the connection");
    }

    /// The next call the client sent, or nothing once it has closed the connection.
    std::optional<XPCInvocation> nextCallIfAny() {
        static const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
        while (true) {
            if (std::optional<std::string> body = reader_.next()) {
                return decodeInvocation(*body, interface);
            }
            if (!readSome()) {
                return std::nullopt;
            }
        }
    }

    void reply(std::uint64_t id, XPCValue value) {
        write(encodeReply(XPCReply{id, std::move(value)}));
    }

    void deliver(const std::string& recordJSON) {
        write(encodeInvocation(
            XPCInvocation{std::nullopt, "deliver:", {XPCValue(XPCData{recordJSON})}}));
    }

    /// Writes `body` as one frame.
    void write(const std::string& body) {
        const std::string bytes = framed(body);
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t count =
                ::send(socket_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "send");
            }
            sent += count > 0 ? static_cast<std::size_t>(count) : 0;
        }
    }

    /// Reads and drops everything until the client closes its end.
    void waitForClose() {
        while (readSome()) {
        }
    }

    void close() { socket_.reset(); }

  private:
    bool readSome() {
        char buffer[65536];
        while (true) {
            const ssize_t count = ::recv(socket_.get(), buffer, sizeof buffer, 0);
            if (count > 0) {
                reader_.append(std::string_view(buffer, static_cast<std::size_t>(count)));
                return true;
            }
            if (count == 0 || errno != EINTR) {
                return false;
            }
        }
    }

    UniqueFd socket_;
    XPCFrameReader reader_;
};

/// Listens at `path()` and runs `script` on the first connection. The destructor waits for the
/// script to end, so a script must end once the client has gone (`nextCall` throws then, and
/// `waitForClose` returns). A script that throws fails the test.
class FakeDaemon {
  public:
    using Script = std::function<void(FakeDaemonPeer&)>;

    explicit FakeDaemon(Script script) : path_((directory_ / "daemon.sock").string()) {
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
                if (::poll(&incoming, 1, 30'000) != 1) {
                    return;
                }
                FakeDaemonPeer peer(
                    UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)));
                script(peer);
            } catch (const std::exception& error) {
                ADD_FAILURE() << "the fake daemon's script failed: " << error.what();
            }
        });
    }
    ~FakeDaemon() { thread_.join(); }
    FakeDaemon(const FakeDaemon&) = delete;
    FakeDaemon& operator=(const FakeDaemon&) = delete;

    const std::string& path() const { return path_; }

  private:
    TemporaryDirectory directory_;
    std::string path_;
    UniqueFd listener_;
    std::thread thread_;
};

}  // namespace quorin::testing
