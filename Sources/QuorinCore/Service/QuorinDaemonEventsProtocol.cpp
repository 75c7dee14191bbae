#include "QuorinCore/Service/QuorinDaemonEventsProtocol.hpp"

#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"

#include <stdexcept>

namespace quorin {

void invoke(QuorinDaemonEventsProtocol& exported, const XPCInvocation& invocation) {
    static const XPCInterface interface = QuorinDaemonXPCInterfaces::eventsInterface();
    // The interface has the one method, `deliver:` with one data argument.
    interface.methodAccepting(invocation.selector, invocation.arguments);
    exported.deliver(std::get<XPCData>(invocation.arguments[0]).bytes);
}

QuorinDaemonEventsProxy::QuorinDaemonEventsProxy(XPCSend send) : send_(std::move(send)) {
    if (!send_) {
        throw std::invalid_argument("An events proxy needs a function that sends its calls.");
    }
}

void QuorinDaemonEventsProxy::deliver(std::string data) {
    send_(std::string(Selector::deliver), {XPCValue(XPCData{std::move(data)})}, {});
}

}  // namespace quorin
