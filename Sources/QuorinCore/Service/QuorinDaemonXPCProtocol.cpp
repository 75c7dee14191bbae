#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"

#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCProtocolError.hpp"

#include <stdexcept>

namespace quorin {

namespace {

using Selector = QuorinDaemonXPCProtocol::Selector;

// The proxy's reply handlers unwrap a reply value for the caller's reply. A value of another kind
// is a fault of the transport, which decodes every reply by the kind its request expects.

void requireReply(std::string_view selector, bool given) {
    if (!given) {
        throw std::invalid_argument(std::string(selector) + " was given no reply");
    }
}

XPCReplyHandler booleanHandler(std::string_view selector,
                               QuorinDaemonXPCProtocol::BoolReply reply) {
    requireReply(selector, static_cast<bool>(reply));
    return [selector, reply = std::move(reply)](XPCValue value) {
        const bool* flag = std::get_if<bool>(&value);
        if (flag == nullptr) {
            throw XPCProtocolError::replyKind(selector, XPCValueKind::boolean);
        }
        reply(*flag);
    };
}

XPCReplyHandler textHandler(std::string_view selector, QuorinDaemonXPCProtocol::TextReply reply) {
    requireReply(selector, static_cast<bool>(reply));
    return [selector, reply = std::move(reply)](XPCValue value) {
        std::string* text = std::get_if<std::string>(&value);
        if (text == nullptr) {
            throw XPCProtocolError::replyKind(selector, XPCValueKind::text);
        }
        reply(std::move(*text));
    };
}

XPCReplyHandler dataHandler(std::string_view selector, QuorinDaemonXPCProtocol::DataReply reply) {
    requireReply(selector, static_cast<bool>(reply));
    return [selector, reply = std::move(reply)](XPCValue value) {
        XPCData* data = std::get_if<XPCData>(&value);
        if (data == nullptr) {
            throw XPCProtocolError::replyKind(selector, XPCValueKind::data);
        }
        reply(std::move(data->bytes));
    };
}

}  // namespace

void invoke(QuorinDaemonXPCProtocol& exported, const XPCInvocation& invocation,
            XPCReplyHandler reply) {
    static const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    const XPCMethod& method = interface.methodAccepting(invocation.selector, invocation.arguments);
    if (method.reply && !reply) {
        throw std::invalid_argument(method.selector +
                                    " has a reply but was given no reply handler");
    }
    // Checked above: each argument has the kind the method declares.
    const auto text = [&invocation](std::size_t index) {
        return std::get<std::string>(invocation.arguments[index]);
    };
    const auto data = [&invocation](std::size_t index) {
        return std::get<XPCData>(invocation.arguments[index]).bytes;
    };
    const auto textReply = [&reply] {
        return [reply](std::string value) { reply(XPCValue(std::move(value))); };
    };
    const auto boolReply = [&reply] { return [reply](bool value) { reply(XPCValue(value)); }; };
    const auto dataReply = [&reply] {
        return [reply](std::string bytes) { reply(XPCValue(XPCData{std::move(bytes)})); };
    };

    const std::string_view selector = method.selector;
    if (selector == Selector::setProtectedPaths) {
        exported.setProtectedPaths(std::get<std::vector<std::string>>(invocation.arguments[0]));
    } else if (selector == Selector::statusWithReply) {
        exported.statusWithReply(textReply());
    } else if (selector == Selector::configureProtection) {
        exported.configureProtection(data(0), boolReply());
    } else if (selector == Selector::updateProtectionReferences) {
        exported.updateProtectionReferences(data(0));
    } else if (selector == Selector::protectionStateWithReply) {
        exported.protectionStateWithReply(dataReply());
    } else if (selector == Selector::decideExecution) {
        exported.decideExecution(text(0), text(1), boolReply());
    } else if (selector == Selector::exportExecutionHistoryWithReply) {
        exported.exportExecutionHistoryWithReply(dataReply());
    } else if (selector == Selector::clearExecutionHistoryWithReply) {
        exported.clearExecutionHistoryWithReply(boolReply());
    } else if (selector == Selector::clearExecutionTrustWithReply) {
        exported.clearExecutionTrustWithReply(boolReply());
    } else {
        // The interface declares a method this table does not dispatch.
        throw XPCProtocolError::unknownMethod(selector);
    }
}

QuorinDaemonXPCProxy::QuorinDaemonXPCProxy(XPCSend send) : send_(std::move(send)) {
    if (!send_) {
        throw std::invalid_argument("A daemon proxy needs a function that sends its calls.");
    }
}

void QuorinDaemonXPCProxy::call(std::string_view selector, std::vector<XPCValue> arguments,
                                XPCReplyHandler reply) const {
    send_(std::string(selector), std::move(arguments), std::move(reply));
}

void QuorinDaemonXPCProxy::setProtectedPaths(std::vector<std::string> paths) {
    call(Selector::setProtectedPaths, {XPCValue(std::move(paths))}, {});
}

void QuorinDaemonXPCProxy::statusWithReply(TextReply reply) {
    call(Selector::statusWithReply, {}, textHandler(Selector::statusWithReply, std::move(reply)));
}

void QuorinDaemonXPCProxy::configureProtection(std::string data, BoolReply reply) {
    call(Selector::configureProtection, {XPCValue(XPCData{std::move(data)})},
         booleanHandler(Selector::configureProtection, std::move(reply)));
}

void QuorinDaemonXPCProxy::updateProtectionReferences(std::string data) {
    call(Selector::updateProtectionReferences, {XPCValue(XPCData{std::move(data)})}, {});
}

void QuorinDaemonXPCProxy::protectionStateWithReply(DataReply reply) {
    call(Selector::protectionStateWithReply, {},
         dataHandler(Selector::protectionStateWithReply, std::move(reply)));
}

void QuorinDaemonXPCProxy::decideExecution(std::string id, std::string decision, BoolReply reply) {
    call(Selector::decideExecution, {XPCValue(std::move(id)), XPCValue(std::move(decision))},
         booleanHandler(Selector::decideExecution, std::move(reply)));
}

void QuorinDaemonXPCProxy::exportExecutionHistoryWithReply(DataReply reply) {
    call(Selector::exportExecutionHistoryWithReply, {},
         dataHandler(Selector::exportExecutionHistoryWithReply, std::move(reply)));
}

void QuorinDaemonXPCProxy::clearExecutionHistoryWithReply(BoolReply reply) {
    call(Selector::clearExecutionHistoryWithReply, {},
         booleanHandler(Selector::clearExecutionHistoryWithReply, std::move(reply)));
}

void QuorinDaemonXPCProxy::clearExecutionTrustWithReply(BoolReply reply) {
    call(Selector::clearExecutionTrustWithReply, {},
         booleanHandler(Selector::clearExecutionTrustWithReply, std::move(reply)));
}

}  // namespace quorin
