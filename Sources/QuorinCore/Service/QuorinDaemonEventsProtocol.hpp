#pragma once

#include "QuorinCore/Service/XPCMessage.hpp"

#include <string>
#include <string_view>

namespace quorin {

/// The callback the daemon calls on a user's client, exported by the client: `deliver` receives
/// one attribution record as JSON bytes. Delivery is one-way, with no reply.
class QuorinDaemonEventsProtocol {
  public:
    struct Selector {
        static constexpr std::string_view deliver = "deliver:";
    };

    virtual ~QuorinDaemonEventsProtocol() = default;

    virtual void deliver(std::string data) = 0;
};

/// Calls the method of `exported` that `invocation` names. Throws `XPCProtocolError` when the
/// invocation does not fit the events interface; nothing is called then.
void invoke(QuorinDaemonEventsProtocol& exported, const XPCInvocation& invocation);

/// A client's events callback as the daemon calls it: each delivery becomes a one-way call handed
/// to `send` with the selector "deliver:" and the record's bytes as data.
class QuorinDaemonEventsProxy final : public QuorinDaemonEventsProtocol {
  public:
    /// Throws `std::invalid_argument` for an empty `send`.
    explicit QuorinDaemonEventsProxy(XPCSend send);

    void deliver(std::string data) override;

  private:
    XPCSend send_;
};

}  // namespace quorin
