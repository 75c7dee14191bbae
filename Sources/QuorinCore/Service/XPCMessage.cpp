#include "QuorinCore/Service/XPCMessage.hpp"

#include "QuorinCore/Service/Base64.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <algorithm>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace quorin {

namespace {

Json valueToJSON(const XPCValue& value) {
    return std::visit(
        [](const auto& alternative) -> Json {
            if constexpr (std::is_same_v<std::decay_t<decltype(alternative)>, XPCData>) {
                return base64Encoded(alternative.bytes);
            } else {
                return alternative;
            }
        },
        value);
}

// The default error handler refuses invalid UTF-8 rather than replacing it: a path that arrived
// altered would name another file.
std::string serialized(const Json& body, const std::string& what) {
    try {
        return body.dump();
    } catch (const Json::type_error&) {
        throw XPCProtocolError(what + " contains text that is not valid UTF-8");
    }
}

std::string jsonQuoted(std::string_view key) {
    return Json(std::string(key)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The body as a JSON object. A key repeated in one object is refused: the parser would keep the
// last silently, and another reader might keep the first and see another call.
Json parseBody(std::string_view body) {
    ParsedJSON parsed;
    try {
        parsed = parseJSONDocument(body);
    } catch (const DecodingError&) {
        throw XPCProtocolError("the body is not valid JSON");
    }
    if (parsed.firstRepeatedKey) {
        throw XPCProtocolError("duplicate key " + jsonQuoted(*parsed.firstRepeatedKey));
    }
    if (!parsed.document.is_object()) {
        throw XPCProtocolError("the body is not a JSON object");
    }
    return std::move(parsed.document);
}

void checkKeys(const Json& body, std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, value] : body.items()) {
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
            throw XPCProtocolError("unexpected key " + jsonQuoted(key));
        }
    }
}

const Json& requiredMember(const Json& body, std::string_view key) {
    const auto found = body.find(key);
    if (found == body.end()) {
        throw XPCProtocolError("missing key " + jsonQuoted(key));
    }
    return *found;
}

std::uint64_t decodeID(const Json& json) {
    try {
        return decodeJSON<std::uint64_t>(json);
    } catch (const DecodingError&) {
        throw XPCProtocolError("\"id\" must be an integer from 0 to 18446744073709551615");
    }
}

enum class ValueFault { wrongKind, notBase64 };

std::variant<XPCValue, ValueFault> valueFromJSON(const Json& json, XPCValueKind kind) {
    switch (kind) {
        case XPCValueKind::boolean:
            if (json.is_boolean()) {
                return XPCValue(json.get<bool>());
            }
            break;
        case XPCValueKind::text:
            if (json.is_string()) {
                return XPCValue(json.get<std::string>());
            }
            break;
        case XPCValueKind::textList:
            if (json.is_array()) {
                std::vector<std::string> texts;
                texts.reserve(json.size());
                for (const Json& element : json) {
                    if (!element.is_string()) {
                        return ValueFault::wrongKind;
                    }
                    texts.push_back(element.get<std::string>());
                }
                return XPCValue(std::move(texts));
            }
            break;
        case XPCValueKind::data:
            if (json.is_string()) {
                auto bytes = base64Decoded(json.get_ref<const std::string&>());
                if (!bytes) {
                    return ValueFault::notBase64;
                }
                return XPCValue(XPCData{std::move(*bytes)});
            }
            break;
    }
    return ValueFault::wrongKind;
}

XPCValue argumentFromJSON(const Json& json, const XPCMethod& method, std::size_t index) {
    auto decoded = valueFromJSON(json, method.arguments[index]);
    if (auto* value = std::get_if<XPCValue>(&decoded)) {
        return std::move(*value);
    }
    if (std::get<ValueFault>(decoded) == ValueFault::notBase64) {
        throw XPCProtocolError::argumentNotBase64(method.selector, index);
    }
    throw XPCProtocolError::argumentKind(method.selector, index, method.arguments[index]);
}

XPCValue replyFromJSON(const Json& json, std::uint64_t id, XPCValueKind kind) {
    auto decoded = valueFromJSON(json, kind);
    if (auto* value = std::get_if<XPCValue>(&decoded)) {
        return std::move(*value);
    }
    const std::string call = "request " + std::to_string(id);
    if (std::get<ValueFault>(decoded) == ValueFault::notBase64) {
        throw XPCProtocolError::replyNotBase64(call);
    }
    throw XPCProtocolError::replyKind(call, kind);
}

XPCInvocation invocationFromJSON(const Json& body, const XPCInterface& interface) {
    checkKeys(body, {"id", "method", "arguments"});
    const Json& methodName = requiredMember(body, "method");
    if (!methodName.is_string()) {
        throw XPCProtocolError("\"method\" must be text");
    }
    const auto& selector = methodName.get_ref<const std::string&>();
    const XPCMethod* method = interface.method(selector);
    if (method == nullptr) {
        throw XPCProtocolError::unknownMethod(selector);
    }

    XPCInvocation invocation{std::nullopt, selector, {}};
    const auto id = body.find("id");
    if (method->reply) {
        if (id == body.end()) {
            throw XPCProtocolError("missing key \"id\": " + selector + " has a reply");
        }
        invocation.id = decodeID(*id);
    } else if (id != body.end()) {
        throw XPCProtocolError("unexpected key \"id\": " + selector + " has no reply");
    }

    const Json& arguments = requiredMember(body, "arguments");
    if (!arguments.is_array()) {
        throw XPCProtocolError("\"arguments\" must be an array");
    }
    if (arguments.size() != method->arguments.size()) {
        throw XPCProtocolError::argumentCount(selector, method->arguments.size(), arguments.size());
    }
    invocation.arguments.reserve(arguments.size());
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        invocation.arguments.push_back(argumentFromJSON(arguments[index], *method, index));
    }
    return invocation;
}

XPCReply replyFromBody(const Json& body, const XPCReplyKindLookup& replyKind) {
    checkKeys(body, {"id", "reply"});
    const std::uint64_t id = decodeID(requiredMember(body, "id"));
    const Json& value = requiredMember(body, "reply");
    const std::optional<XPCValueKind> kind = replyKind(id);
    if (!kind) {
        throw XPCProtocolError("reply to unknown request " + std::to_string(id));
    }
    return XPCReply{id, replyFromJSON(value, id, *kind)};
}

}  // namespace

std::string encodeInvocation(const XPCInvocation& invocation) {
    Json body = Json::object();
    if (invocation.id) {
        body["id"] = *invocation.id;
    }
    body["method"] = invocation.selector;
    Json arguments = Json::array();
    for (const XPCValue& argument : invocation.arguments) {
        arguments.push_back(valueToJSON(argument));
    }
    body["arguments"] = std::move(arguments);
    return serialized(body, "the call of " + invocation.selector);
}

std::string encodeReply(const XPCReply& reply) {
    Json body = Json::object();
    body["id"] = reply.id;
    body["reply"] = valueToJSON(reply.value);
    return serialized(body, "the reply to request " + std::to_string(reply.id));
}

XPCInvocation decodeInvocation(std::string_view body, const XPCInterface& interface) {
    return invocationFromJSON(parseBody(body), interface);
}

XPCReply decodeReply(std::string_view body, XPCValueKind kind) {
    return replyFromBody(parseBody(body), [kind](std::uint64_t) { return kind; });
}

std::variant<XPCInvocation, XPCReply> decodeIncoming(std::string_view body,
                                                     const XPCInterface& callbacks,
                                                     const XPCReplyKindLookup& replyKind) {
    const Json json = parseBody(body);
    if (json.contains("reply")) {
        return replyFromBody(json, replyKind);
    }
    return invocationFromJSON(json, callbacks);
}

}  // namespace quorin
