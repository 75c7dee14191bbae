#pragma once

// A peer of the daemon's service socket for tests: it writes raw bytes or calls, reads the frames
// the daemon sends back, each read bounded in time, and tells when the daemon has closed the
// connection. Its requests number their replies themselves.

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
#include <deque>
#include <stdexcept>

namespace quorin::daemon::testing {

class SocketPeer {
  public:
    explicit SocketPeer(const std::string& path)
        : socket_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
            throw std::runtime_error("cannot connect to " + path);
        }
    }

    // A blocking stream socket sends everything unless the daemon closes the connection.
    void sendRaw(const std::string& bytes) {
        if (::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("send failed");
        }
    }

    /// A call of the daemon's interface; its reply, when the method has one, comes from `reply`.
    void call(const std::string& selector, std::vector<XPCValue> arguments,
              std::optional<std::uint64_t> id = std::nullopt) {
        sendRaw(framed(encodeInvocation(XPCInvocation{id, selector, std::move(arguments)})));
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

    /// The reply to request `id`, keeping the records delivered before it for `record`.
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
            delivered_.push_back(*body);
        }
        return std::nullopt;
    }

    /// Whether the daemon closes the connection, reading whatever comes first.
    bool closedByDaemon() {
        while (next()) {
        }
        return closed_;
    }

    void close() { socket_.reset(); }

    /// A request under this peer's next id, and its reply: an empty value when none comes.
    template <class Value>
    Value ask(const std::string& selector, std::vector<XPCValue> arguments = {}) {
        const XPCValueKind kind = std::is_same_v<Value, bool>      ? XPCValueKind::boolean
                                  : std::is_same_v<Value, XPCData> ? XPCValueKind::data
                                                                   : XPCValueKind::text;
        call(selector, std::move(arguments), nextID_);
        const std::optional<XPCValue> value = reply(nextID_++, kind);
        return value ? std::get<Value>(*value) : Value{};
    }

    std::string status() { return ask<std::string>("statusWithReply:"); }

    /// The path of the next record delivered, waiting up to `bound` for it.
    std::optional<std::string> record(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const auto body = delivered_.empty() ? next(bound) : std::optional(delivered_.front());
        if (!delivered_.empty()) {
            delivered_.pop_front();
        }
        if (!body) {
            return std::nullopt;
        }
        const XPCInvocation call =
            decodeInvocation(*body, QuorinDaemonXPCInterfaces::eventsInterface());
        return decodeJSONText<AttributionRecord>(std::get<XPCData>(call.arguments.at(0)).bytes)
            .path;
    }

    ExecutionProtectionState state() {
        return decodeJSONText<ExecutionProtectionState>(
            ask<XPCData>("protectionStateWithReply:").bytes);
    }

    bool decide(const UUID& id, const std::string& decision) {
        return ask<bool>("decideExecution:decision:reply:", {id.uuidString(), decision});
    }

  private:
    UniqueFd socket_;
    XPCFrameReader reader_;
    std::deque<std::string> delivered_;
    bool closed_ = false;
    std::uint64_t nextID_ = 1;
};

}  // namespace quorin::daemon::testing
