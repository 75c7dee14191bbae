#pragma once

#include "QuorinCore/Service/XPCMessage.hpp"
#include "QuorinCore/Service/XPCValue.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// The requests a user's client sends to the daemon, exported by the daemon. Data arguments and
/// replies are the payload bytes (JSON documents); every method with a reply calls it exactly
/// once, possibly later and from another thread. `Selector` holds the name under which each
/// method travels.
class QuorinDaemonXPCProtocol {
  public:
    using TextReply = std::function<void(std::string)>;
    using BoolReply = std::function<void(bool)>;
    using DataReply = std::function<void(std::string)>;

    struct Selector {
        static constexpr std::string_view setProtectedPaths = "setProtectedPaths:";
        static constexpr std::string_view statusWithReply = "statusWithReply:";
        static constexpr std::string_view configureProtection = "configureProtection:reply:";
        static constexpr std::string_view updateProtectionReferences =
            "updateProtectionReferences:";
        static constexpr std::string_view protectionStateWithReply = "protectionStateWithReply:";
        static constexpr std::string_view decideExecution = "decideExecution:decision:reply:";
        static constexpr std::string_view exportExecutionHistoryWithReply =
            "exportExecutionHistoryWithReply:";
        static constexpr std::string_view clearExecutionHistoryWithReply =
            "clearExecutionHistoryWithReply:";
        static constexpr std::string_view clearExecutionTrustWithReply =
            "clearExecutionTrustWithReply:";
    };

    virtual ~QuorinDaemonXPCProtocol() = default;

    virtual void setProtectedPaths(std::vector<std::string> paths) = 0;
    virtual void statusWithReply(TextReply reply) = 0;
    virtual void configureProtection(std::string data, BoolReply reply) = 0;
    virtual void updateProtectionReferences(std::string data) = 0;
    virtual void protectionStateWithReply(DataReply reply) = 0;
    virtual void decideExecution(std::string id, std::string decision, BoolReply reply) = 0;
    virtual void exportExecutionHistoryWithReply(DataReply reply) = 0;
    virtual void clearExecutionHistoryWithReply(BoolReply reply) = 0;
    virtual void clearExecutionTrustWithReply(BoolReply reply) = 0;
};

/// Calls the method of `exported` that `invocation` names, with its arguments; a method's reply
/// reaches `reply` as a value of the method's reply kind. Throws `XPCProtocolError` when the
/// invocation does not fit the daemon's interface, and `std::invalid_argument` when a method
/// with a reply is given no `reply`; nothing is called then.
void invoke(QuorinDaemonXPCProtocol& exported, const XPCInvocation& invocation,
            XPCReplyHandler reply);

/// The daemon as its client calls it: each request becomes a call handed to `send` with the
/// method's selector and arguments, and for a method with a reply, a handler that turns the
/// reply value back into the method's reply type and calls the caller's reply with it. The
/// transport behind `send` keeps the handler until the reply arrives and calls it once.
class QuorinDaemonXPCProxy final : public QuorinDaemonXPCProtocol {
  public:
    /// Throws `std::invalid_argument` for an empty `send`.
    explicit QuorinDaemonXPCProxy(XPCSend send);

    void setProtectedPaths(std::vector<std::string> paths) override;
    void statusWithReply(TextReply reply) override;
    void configureProtection(std::string data, BoolReply reply) override;
    void updateProtectionReferences(std::string data) override;
    void protectionStateWithReply(DataReply reply) override;
    void decideExecution(std::string id, std::string decision, BoolReply reply) override;
    void exportExecutionHistoryWithReply(DataReply reply) override;
    void clearExecutionHistoryWithReply(BoolReply reply) override;
    void clearExecutionTrustWithReply(BoolReply reply) override;

  private:
    void call(std::string_view selector, std::vector<XPCValue> arguments,
              XPCReplyHandler reply) const;

    XPCSend send_;
};

}  // namespace quorin
