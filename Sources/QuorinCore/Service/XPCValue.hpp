#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorin {

/// Binary data carried by a service call, such as a JSON payload. Kept apart from text because
/// the two travel differently (data as base64) and must never be taken for one another.
struct XPCData {
    std::string bytes;

    friend bool operator==(const XPCData&, const XPCData&) = default;
};

/// One argument or reply value of a service call: a boolean, a text, a list of texts or data.
using XPCValue = std::variant<bool, std::string, std::vector<std::string>, XPCData>;

/// The kinds of `XPCValue`, one per alternative.
enum class XPCValueKind { boolean, text, textList, data };

XPCValueKind kindOf(const XPCValue& value);

/// The kind as it reads in a message: "a boolean", "text", "a list of texts" or "data".
std::string_view describe(XPCValueKind kind);

/// Receives the value a call replies with.
using XPCReplyHandler = std::function<void(XPCValue)>;

/// Hands one outgoing call to the transport: the selector, the arguments and, for a method with a
/// reply, the handler of its reply (empty for a one-way method).
using XPCSend = std::function<void(std::string selector, std::vector<XPCValue> arguments,
                                   XPCReplyHandler reply)>;

}  // namespace quorin
