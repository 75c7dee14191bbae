#include "quorin/DaemonConnection.hpp"

#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <variant>

namespace quorin::cli {

namespace {

const std::string closedMessage = "the daemon closed the connection";

UniqueFd connected(const std::string& path) {
    const auto failure = [&path](int error) {
        return std::runtime_error("cannot connect to the daemon at " + path + ": " +
                                  std::strerror(error));
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path ||
        path.find('\0') != std::string::npos) {
        throw failure(path.empty() ? ENOENT : ENAMETOOLONG);
    }
    std::copy(path.begin(), path.end(), address.sun_path);
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        throw failure(errno);
    }
    // An interrupted connect goes on in the background; its end is not waited for here, so it
    // counts as a failure like any other.
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw failure(errno);
    }
    return socket;
}

std::string describeBound(std::chrono::milliseconds bound) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(bound.count()) / 1000.0);
    return text;
}

}  // namespace

DaemonConnection::DaemonConnection(const std::string& socketPath,
                                   std::chrono::milliseconds replyBound)
    : socket_(connected(socketPath)),
      replyBound_(replyBound),
      daemonInterface_(QuorinDaemonXPCInterfaces::daemonInterface()),
      eventsInterface_(QuorinDaemonXPCInterfaces::eventsInterface()),
      proxy_([this](std::string selector, std::vector<XPCValue> arguments, XPCReplyHandler reply) {
          send(std::move(selector), std::move(arguments), std::move(reply));
      }) {}

std::string DaemonConnection::status() {
    return awaitReply<std::string>([this](auto reply) { proxy_.statusWithReply(reply); });
}

void DaemonConnection::setProtectedPaths(std::vector<std::string> paths) {
    throwIfFailed();
    proxy_.setProtectedPaths(std::move(paths));
}

bool DaemonConnection::configureProtection(std::string json) {
    return awaitReply<bool>(
        [&](auto reply) { proxy_.configureProtection(std::move(json), reply); });
}

void DaemonConnection::updateProtectionReferences(std::string json) {
    throwIfFailed();
    proxy_.updateProtectionReferences(std::move(json));
}

std::string DaemonConnection::protectionState() {
    return awaitReply<std::string>([this](auto reply) { proxy_.protectionStateWithReply(reply); });
}

bool DaemonConnection::decideExecution(std::string id, std::string decision) {
    return awaitReply<bool>(
        [&](auto reply) { proxy_.decideExecution(std::move(id), std::move(decision), reply); });
}

std::string DaemonConnection::exportExecutionHistory() {
    return awaitReply<std::string>(
        [this](auto reply) { proxy_.exportExecutionHistoryWithReply(reply); });
}

bool DaemonConnection::clearExecutionHistory() {
    return awaitReply<bool>([this](auto reply) { proxy_.clearExecutionHistoryWithReply(reply); });
}

bool DaemonConnection::clearExecutionTrust() {
    return awaitReply<bool>([this](auto reply) { proxy_.clearExecutionTrustWithReply(reply); });
}

void DaemonConnection::receive(const std::function<bool(const std::string& recordJSON)>& onRecord) {
    // Records that arrived before a failure are still handed over; `readSome` then throws it.
    while (true) {
        while (!records_.empty()) {
            const std::string record = std::move(records_.front());
            records_.pop_front();
            if (!onRecord(record)) {
                return;
            }
        }
        readSome(std::nullopt);
    }
}

template <class T, class Start>
T DaemonConnection::awaitReply(Start&& start) {
    throwIfFailed();
    std::optional<T> result;
    start(std::function<void(T)>([&result](T value) { result = std::move(value); }));
    const Deadline deadline = std::chrono::steady_clock::now() + replyBound_;
    while (!result) {
        readSome(deadline);
    }
    return std::move(*result);
}

void DaemonConnection::send(std::string selector, std::vector<XPCValue> arguments,
                            XPCReplyHandler reply) {
    XPCInvocation invocation{std::nullopt, std::move(selector), std::move(arguments)};
    const XPCMethod* method = daemonInterface_.method(invocation.selector);
    if (reply) {
        if (method == nullptr || !method->reply) {
            throw std::logic_error(invocation.selector + " is not a request with a reply");
        }
        invocation.id = nextRequestID_;
    }
    // A request that cannot be encoded (text that is not UTF-8, a payload above the frame limit)
    // is the caller's fault and leaves the connection as it was.
    std::string frame;
    try {
        frame = framed(encodeInvocation(invocation));
    } catch (const XPCProtocolError& error) {
        throw std::runtime_error(std::string("cannot send a request to the daemon: ") +
                                 error.what());
    }
    if (invocation.id) {
        ++nextRequestID_;
        outstanding_.insert_or_assign(*invocation.id,
                                      OutstandingRequest{*method->reply, std::move(reply)});
    }
    writeAll(frame, std::chrono::steady_clock::now() + replyBound_);
}

void DaemonConnection::writeAll(std::string_view bytes, Deadline deadline) {
    while (!bytes.empty()) {
        // MSG_NOSIGNAL: a daemon that went away must not end the client with SIGPIPE.
        const ssize_t count =
            ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(count));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitUntilReady(POLLOUT, deadline)) {
                fail("the daemon did not take a request within " + describeBound(replyBound_) +
                     " s");
            }
        } else if (errno == EPIPE || errno == ECONNRESET) {
            fail(closedMessage);
        } else if (errno != EINTR) {
            fail(std::string("cannot send to the daemon: ") + std::strerror(errno));
        }
    }
}

bool DaemonConnection::waitUntilReady(short events, std::optional<Deadline> deadline) {
    while (true) {
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
                left.count(), std::chrono::milliseconds(std::chrono::hours(1)).count()));
        }
        pollfd descriptor{socket_.get(), events, 0};
        const int ready = ::poll(&descriptor, 1, timeout);
        if (ready > 0) {
            return true;  // readiness, hang-up and errors alike are seen by the next send or recv
        }
        if (ready < 0 && errno != EINTR) {
            fail(std::string("cannot wait for the daemon: ") + std::strerror(errno));
        }
    }
}

void DaemonConnection::readSome(std::optional<Deadline> deadline) {
    throwIfFailed();
    if (!waitUntilReady(POLLIN, deadline)) {
        fail("no reply from the daemon within " + describeBound(replyBound_) + " s");
    }
    char buffer[64 * 1024];
    const ssize_t count = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (count == 0) {
        fail(closedMessage);
    }
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return;
        }
        if (errno == ECONNRESET) {
            fail(closedMessage);
        }
        fail(std::string("cannot read from the daemon: ") + std::strerror(errno));
    }
    try {
        reader_.append(std::string_view(buffer, static_cast<std::size_t>(count)));
        while (const std::optional<std::string> body = reader_.next()) {
            handle(*body);
        }
    } catch (const XPCProtocolError& error) {
        fail(std::string("the daemon sent a message that does not fit the protocol: ") +
             error.what());
    }
}

void DaemonConnection::handle(const std::string& body) {
    auto incoming = decodeIncoming(body, eventsInterface_,
                                   [this](std::uint64_t id) -> std::optional<XPCValueKind> {
                                       const auto found = outstanding_.find(id);
                                       if (found == outstanding_.end()) {
                                           return std::nullopt;
                                       }
                                       return found->second.kind;
                                   });
    if (auto* reply = std::get_if<XPCReply>(&incoming)) {
        auto request = outstanding_.extract(reply->id);
        request.mapped().reply(std::move(reply->value));
        return;
    }
    // The events interface has one method, "deliver:", whose one argument is the record.
    auto& invocation = std::get<XPCInvocation>(incoming);
    records_.push_back(std::move(std::get<XPCData>(invocation.arguments.front()).bytes));
}

void DaemonConnection::fail(std::string message) {
    failure_ = message;
    // Replies can no longer arrive; their handlers may refer to callers that are unwinding.
    outstanding_.clear();
    throw std::runtime_error(message);
}

void DaemonConnection::throwIfFailed() const {
    if (failure_) {
        throw std::runtime_error(*failure_);
    }
}

}  // namespace quorin::cli
