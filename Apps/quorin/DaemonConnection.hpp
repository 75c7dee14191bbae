#pragma once

// The client's connection to the daemon's service socket.

#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"
#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCInterface.hpp"
#include "QuorinCore/Support/UniqueFd.hpp"
#include "quorin/ProtectionRequests.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::cli {

/// A blocking client of the daemon's service, used from one thread. Each request is sent through
/// a `QuorinDaemonXPCProxy` whose calls become framed invocations on a Unix stream socket; a
/// request with a reply gets the next request id, and the convenience methods read frames until
/// that id's reply has come. Attribution records that the daemon delivers meanwhile are queued
/// and handed out by `receive`. Every failure throws `std::runtime_error` with a message for the
/// user; after a closed connection, a protocol fault or a missed reply, nothing more can be
/// expected on this connection and every later call throws the same error.
class DaemonConnection final : public ProtectionRequests {
  public:
    /// Where the daemon listens: the run directory and the service name.
    static constexpr std::string_view defaultSocketPath = "/run/com.brenmoor.quorin.daemon.xpc";

    /// Connects to the socket at `socketPath`; each reply must then come within `replyBound`.
    /// Throws "cannot connect to the daemon at <path>: <reason>".
    explicit DaemonConnection(const std::string& socketPath,
                              std::chrono::milliseconds replyBound = std::chrono::seconds(60));

    // The proxy's send function refers to this object.
    DaemonConnection(const DaemonConnection&) = delete;
    DaemonConnection& operator=(const DaemonConnection&) = delete;

    std::string status();
    void setProtectedPaths(std::vector<std::string> paths);
    bool configureProtection(std::string json);
    void updateProtectionReferences(std::string json);
    std::string protectionState() override;
    bool decideExecution(std::string id, std::string decision) override;
    std::string exportExecutionHistory();
    bool clearExecutionHistory();
    bool clearExecutionTrust();

    /// Hands each delivered record's JSON to `onRecord`, those already queued first, waiting for
    /// more without a bound, until `onRecord` returns false. Throws when the daemon closes the
    /// connection, once the records that came before are handed over.
    void receive(const std::function<bool(const std::string& recordJSON)>& onRecord);

  private:
    struct OutstandingRequest {
        XPCValueKind kind;
        XPCReplyHandler reply;
    };

    using Deadline = std::chrono::steady_clock::time_point;

    void send(std::string selector, std::vector<XPCValue> arguments, XPCReplyHandler reply);

    /// Sends the request that `start` makes with a reply function, then reads until that reply
    /// has come.
    template <class T, class Start>
    T awaitReply(Start&& start);

    void writeAll(std::string_view bytes, Deadline deadline);
    /// Waits for the socket to be ready for `events` until `deadline` (none: without a bound);
    /// false when the deadline passed first.
    bool waitUntilReady(short events, std::optional<Deadline> deadline);
    /// Reads what the socket has and handles every complete frame.
    void readSome(std::optional<Deadline> deadline);
    void handle(const std::string& body);

    /// Marks the connection unusable with `message` and throws it.
    [[noreturn]] void fail(std::string message);
    void throwIfFailed() const;

    UniqueFd socket_;
    std::chrono::milliseconds replyBound_;
    XPCInterface daemonInterface_;
    XPCInterface eventsInterface_;
    QuorinDaemonXPCProxy proxy_;
    XPCFrameReader reader_;
    std::uint64_t nextRequestID_ = 1;
    std::map<std::uint64_t, OutstandingRequest> outstanding_;
    std::deque<std::string> records_;
    std::optional<std::string> failure_;
};

}  // namespace quorin::cli
