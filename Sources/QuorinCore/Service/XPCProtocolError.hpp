#pragma once

#include "QuorinCore/Service/XPCValue.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorin {

/// A peer broke the service's wire protocol: a frame, a body or a value that does not fit, or a
/// call the interface does not declare. `what()` says what was wrong, in lower case so that it
/// reads inside a longer log line. Nothing more from the connection it came on can be trusted.
/// The named constructors word the faults that several parts of the wire layer report alike.
class XPCProtocolError : public std::runtime_error {
  public:
    explicit XPCProtocolError(const std::string& message) : std::runtime_error(message) {}

    /// "unknown method: <selector>".
    static XPCProtocolError unknownMethod(std::string_view selector);
    /// "<selector> takes 2 arguments, not 3".
    static XPCProtocolError argumentCount(std::string_view selector, std::size_t expected,
                                          std::size_t given);
    /// "argument 1 of <selector> must be text"; `index` counts from 0, the message from 1.
    static XPCProtocolError argumentKind(std::string_view selector, std::size_t index,
                                         XPCValueKind expected);
    /// "argument 1 of <selector> is not canonical base64".
    static XPCProtocolError argumentNotBase64(std::string_view selector, std::size_t index);
    /// "the reply to <call> must be a boolean", where `call` names the request ("request 7") or
    /// the method ("statusWithReply:").
    static XPCProtocolError replyKind(std::string_view call, XPCValueKind expected);
    /// "the reply to <call> is not canonical base64".
    static XPCProtocolError replyNotBase64(std::string_view call);
};

}  // namespace quorin
