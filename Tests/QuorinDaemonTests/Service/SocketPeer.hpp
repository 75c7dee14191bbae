#pragma once

// A peer of the daemon's service socket for tests: it writes raw bytes or frames and reads the
// frames the daemon sends back, each read bounded in time, and tells when the daemon has closed
// the connection. Its requests number their replies themselves, and the protection requests
// decode what the daemon answers.

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin::daemon::testing {

class SocketPeer {
  public:
    explicit SocketPeer(const std::string& path)
        : socket_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (!socket_.valid() ||
            ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0) {
            throw std::runtime_error("cannot connect to " + path);
        }
    }

    void sendRaw(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t count =
                ::send(socket_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count <= 0) {
                throw std::runtime_error("send failed");
            }
            sent += static_cast<std::size_t>(count);
        }
    }

    void send(const std::string& body) { sendRaw(framed(body)); }

    /// A call of the daemon's interface; its reply, when the method has one, comes from `reply`.
    void call(const std::string& selector, std::vector<XPCValue> arguments,
              std::optional<std::uint64_t> id = std::nullopt) {
        send(encodeInvocation(XPCInvocation{id, selector, std::move(arguments)}));
    }

    /// The next frame's body; nothing when the daemon closed the connection or sent nothing in
    /// time.
    std::optional<std::string> next(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        while (true) {
            if (std::optional<std::string> body = reader_.next()) {
                return body;
            }
            pollfd ready{socket_.get(), POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(bound.count())) != 1) {
                return std::nullopt;
            }
            char buffer[65'536];
            const ssize_t count = ::recv(socket_.get(), buffer, sizeof buffer, 0);
            if (count <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            reader_.append(std::string_view(buffer, static_cast<std::size_t>(count)));
        }
    }

    /// The reply to request `id`, skipping callbacks; fails the test's expectations by returning
    /// nothing when none comes.
    std::optional<XPCValue> reply(std::uint64_t id, XPCValueKind kind) {
        while (std::optional<std::string> body = next()) {
            const auto incoming =
                decodeIncoming(*body, QuorinDaemonXPCInterfaces::eventsInterface(),
                               [&](std::uint64_t asked) -> std::optional<XPCValueKind> {
                                   return asked == id ? std::optional(kind) : std::nullopt;
                               });
            if (const auto* answer = std::get_if<XPCReply>(&incoming)) {
                return answer->value;
            }
            callbacks_.push_back(std::get<XPCInvocation>(incoming));
        }
        return std::nullopt;
    }

    /// Callbacks that arrived while waiting for replies, then those arriving within `bound`.
    std::optional<XPCInvocation> callback(
        std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        if (!callbacks_.empty()) {
            XPCInvocation first = callbacks_.front();
            callbacks_.erase(callbacks_.begin());
            return first;
        }
        const std::optional<std::string> body = next(bound);
        if (!body) {
            return std::nullopt;
        }
        return decodeInvocation(*body, QuorinDaemonXPCInterfaces::eventsInterface());
    }

    /// Whether the daemon closes the connection within `bound`, reading whatever comes first.
    bool closedByDaemon(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const auto until = std::chrono::steady_clock::now() + bound;
        while (!closed_ && std::chrono::steady_clock::now() < until) {
            next(std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now()));
        }
        return closed_;
    }

    void close() { socket_.reset(); }

    /// A call under this peer's next id, and its reply.
    std::optional<XPCValue> request(const std::string& selector, std::vector<XPCValue> arguments,
                                    XPCValueKind kind) {
        const std::uint64_t id = nextID_++;
        call(selector, std::move(arguments), id);
        return reply(id, kind);
    }

    std::string status() {
        const auto value = request("statusWithReply:", {}, XPCValueKind::text);
        return value ? std::get<std::string>(*value) : "<no reply>";
    }

    /// A request answered with a boolean; false when no reply comes.
    bool confirmed(const std::string& selector, std::vector<XPCValue> arguments = {}) {
        const auto value = request(selector, std::move(arguments), XPCValueKind::boolean);
        return value && std::get<bool>(*value);
    }

    /// A request answered with data; empty when no reply comes.
    std::string data(const std::string& selector) {
        const auto value = request(selector, {}, XPCValueKind::data);
        return value ? std::get<XPCData>(*value).bytes : std::string();
    }

    /// The path of the next record delivered, waiting up to `bound` for it.
    std::optional<std::string> record(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const std::optional<XPCInvocation> delivered = callback(bound);
        if (!delivered) {
            return std::nullopt;
        }
        return decodeJSONText<AttributionRecord>(
                   std::get<XPCData>(delivered->arguments.at(0)).bytes)
            .path;
    }

    /// Enables protection of executables under `roots`.
    bool configure(std::vector<std::string> roots) {
        ExecutionProtectionConfiguration configuration;
        configuration.enabled = true;
        configuration.executableRoots = std::move(roots);
        return confirmed("configureProtection:reply:", {XPCData{encodeJSONText(configuration)}});
    }

    ExecutionProtectionState state() {
        return decodeJSONText<ExecutionProtectionState>(data("protectionStateWithReply:"));
    }

    std::vector<ExecutionOutcome> history() {
        return decodeJSONText<std::vector<ExecutionOutcome>>(
            data("exportExecutionHistoryWithReply:"));
    }

    bool decide(const UUID& id, const std::string& decision) {
        return confirmed("decideExecution:decision:reply:", {id.uuidString(), decision});
    }

  private:
    UniqueFd socket_;
    XPCFrameReader reader_;
    std::vector<XPCInvocation> callbacks_;
    bool closed_ = false;
    std::uint64_t nextID_ = 1;
};

}  // namespace quorin::daemon::testing
