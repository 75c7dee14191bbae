#include "QuorinCore/Service/XPCProtocolError.hpp"

namespace quorin {

namespace {

std::string argument(std::string_view selector, std::size_t index) {
    return "argument " + std::to_string(index + 1) + " of " + std::string(selector);
}

}  // namespace

XPCProtocolError XPCProtocolError::unknownMethod(std::string_view selector) {
    return XPCProtocolError("unknown method: " + std::string(selector));
}

XPCProtocolError XPCProtocolError::argumentCount(std::string_view selector, std::size_t expected,
                                                 std::size_t given) {
    return XPCProtocolError(std::string(selector) + " takes " + std::to_string(expected) +
                            (expected == 1 ? " argument" : " arguments") + ", not " +
                            std::to_string(given));
}

XPCProtocolError XPCProtocolError::argumentKind(std::string_view selector, std::size_t index,
                                                XPCValueKind expected) {
    return XPCProtocolError(argument(selector, index) + " must be " +
                            std::string(describe(expected)));
}

XPCProtocolError XPCProtocolError::argumentNotBase64(std::string_view selector, std::size_t index) {
    return XPCProtocolError(argument(selector, index) + " is not canonical base64");
}

XPCProtocolError XPCProtocolError::replyKind(std::string_view call, XPCValueKind expected) {
    return XPCProtocolError("the reply to " + std::string(call) + " must be " +
                            std::string(describe(expected)));
}

XPCProtocolError XPCProtocolError::replyNotBase64(std::string_view call) {
    return XPCProtocolError("the reply to " + std::string(call) + " is not canonical base64");
}

}  // namespace quorin
