// Arbitrary bytes as what a peer writes to a service connection. The first byte sets how many
// bytes arrive at a time (1 to 256); the rest is the stream, cut into frames by `XPCFrameReader`.
// Every body is decoded as a call to the daemon and as what reaches a client (a callback or the
// reply to a request). Only `XPCProtocolError` may refuse anything. Checked beyond that: the
// bodies taken out, framed again, are exactly the start of the stream; no body is empty or over
// the limit; a refused stream stays refused; and every decoded call or reply reads back from its
// own encoding unchanged.

#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCInterface.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"
#include "QuorinCore/Service/XPCProtocolError.hpp"
#include "QuorinCore/Service/XPCValue.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace {

using quorin::XPCProtocolError;
using quorin::XPCValueKind;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const quorin::XPCInterface& daemonInterface() {
    static const quorin::XPCInterface interface =
        quorin::QuorinDaemonXPCInterfaces::daemonInterface();
    return interface;
}

const quorin::XPCInterface& eventsInterface() {
    static const quorin::XPCInterface interface =
        quorin::QuorinDaemonXPCInterfaces::eventsInterface();
    return interface;
}

// The client side's outstanding requests: every id not divisible by 5 is one, expecting a reply
// of a kind picked by the id, so replies of each kind and of unknown ids are all reachable.
std::optional<XPCValueKind> outstandingReplyKind(std::uint64_t id) {
    switch (id % 5) {
        case 1:
            return XPCValueKind::boolean;
        case 2:
            return XPCValueKind::text;
        case 3:
            return XPCValueKind::textList;
        case 4:
            return XPCValueKind::data;
        default:
            return std::nullopt;
    }
}

void checkDaemonSide(std::string_view body) {
    quorin::XPCInvocation invocation;
    try {
        invocation = quorin::decodeInvocation(body, daemonInterface());
    } catch (const XPCProtocolError&) {
        return;
    }
    const quorin::XPCMethod* method = daemonInterface().method(invocation.selector);
    check(method != nullptr);
    check(invocation.id.has_value() == method->reply.has_value());
    check(quorin::decodeInvocation(quorin::encodeInvocation(invocation), daemonInterface()) ==
          invocation);
}

void checkClientSide(std::string_view body) {
    std::variant<quorin::XPCInvocation, quorin::XPCReply> incoming;
    try {
        incoming = quorin::decodeIncoming(body, eventsInterface(), outstandingReplyKind);
    } catch (const XPCProtocolError&) {
        return;
    }
    if (const auto* callback = std::get_if<quorin::XPCInvocation>(&incoming)) {
        check(quorin::decodeInvocation(quorin::encodeInvocation(*callback), eventsInterface()) ==
              *callback);
        return;
    }
    const auto& reply = std::get<quorin::XPCReply>(incoming);
    const std::optional<XPCValueKind> kind = outstandingReplyKind(reply.id);
    check(kind == quorin::kindOf(reply.value));
    check(quorin::decodeReply(quorin::encodeReply(reply), *kind) == reply);
}

// The next body, or nothing when the reader needs more bytes or has refused the stream.
std::optional<std::string> nextBody(quorin::XPCFrameReader& reader, bool& refused) {
    try {
        return reader.next();
    } catch (const XPCProtocolError&) {
        refused = true;
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = std::size_t{data[0]} + 1;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    quorin::XPCFrameReader reader;
    std::string reframed;
    bool refused = false;
    for (std::size_t offset = 0; offset < stream.size() && !refused; offset += chunk) {
        reader.append(stream.substr(offset, chunk));
        while (const std::optional<std::string> body = nextBody(reader, refused)) {
            check(!body->empty() && body->size() <= quorin::maximumFrameBytes);
            reframed += quorin::framed(*body);
            checkDaemonSide(*body);
            checkClientSide(*body);
        }
    }
    check(stream.starts_with(reframed));
    if (refused) {
        bool refusedAgain = false;
        check(!nextBody(reader, refusedAgain) && refusedAgain);
    }
    return 0;
}
