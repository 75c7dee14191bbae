#pragma once

#include "QuorinCore/Service/XPCInterface.hpp"
#include "QuorinCore/Service/XPCProtocolError.hpp"
#include "QuorinCore/Service/XPCValue.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorin {

// The bodies of the service's frames, one compact JSON object each. A call is
// {"id":7,"method":"decideExecution:decision:reply:","arguments":["…","block"]}, with "id" exactly
// when the method has a reply; its reply is {"id":7,"reply":true}. Values travel as JSON: a boolean
// as true or false, text as a string, a list of texts as an array of strings, data as a string of
// canonical base64. Decoding refuses anything else, so one value has one body.

/// A call of one method: a request when the method has a reply (the `id` its reply will carry,
/// unique among the caller's outstanding requests), otherwise a one-way call with no `id`.
struct XPCInvocation {
    std::optional<std::uint64_t> id;
    std::string selector;
    std::vector<XPCValue> arguments;

    friend bool operator==(const XPCInvocation&, const XPCInvocation&) = default;
};

/// The answer to the request with `id`.
struct XPCReply {
    std::uint64_t id;
    XPCValue value;

    friend bool operator==(const XPCReply&, const XPCReply&) = default;
};

/// Throw `XPCProtocolError` when a text is not valid UTF-8, which JSON cannot carry.
std::string encodeInvocation(const XPCInvocation& invocation);
std::string encodeReply(const XPCReply& reply);

/// A call of a method of `interface`, as the side that exports it receives it. The body must be
/// an object with exactly the keys "method", "arguments" and, when the method has a reply, "id"
/// (an integer from 0 to 2^64 - 1), each once; the arguments must match the method's in number
/// and kind. Text may contain NUL. Throws `XPCProtocolError` saying what does not fit.
XPCInvocation decodeInvocation(std::string_view body, const XPCInterface& interface);

/// A reply whose value is of `kind`: exactly the keys "id" and "reply". Throws
/// `XPCProtocolError` saying what does not fit.
XPCReply decodeReply(std::string_view body, XPCValueKind kind);

/// The kind of reply the request with this id expects, or nothing when no such request is
/// outstanding.
using XPCReplyKindLookup = std::function<std::optional<XPCValueKind>(std::uint64_t id)>;

/// What reaches the calling side: a body with a "reply" key is the reply to one of its
/// outstanding requests (`replyKind` tells which, and an id it does not know is an error);
/// any other body is a call of a method of `callbacks`. Throws `XPCProtocolError`.
std::variant<XPCInvocation, XPCReply> decodeIncoming(std::string_view body,
                                                     const XPCInterface& callbacks,
                                                     const XPCReplyKindLookup& replyKind);

}  // namespace quorin
