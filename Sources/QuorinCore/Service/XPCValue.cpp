#include "QuorinCore/Service/XPCValue.hpp"

#include <type_traits>

namespace quorin {

XPCValueKind kindOf(const XPCValue& value) {
    return std::visit(
        [](const auto& alternative) {
            using Alternative = std::decay_t<decltype(alternative)>;
            if constexpr (std::is_same_v<Alternative, bool>) {
                return XPCValueKind::boolean;
            } else if constexpr (std::is_same_v<Alternative, std::string>) {
                return XPCValueKind::text;
            } else if constexpr (std::is_same_v<Alternative, std::vector<std::string>>) {
                return XPCValueKind::textList;
            } else {
                static_assert(std::is_same_v<Alternative, XPCData>);
                return XPCValueKind::data;
            }
        },
        value);
}

std::string_view describe(XPCValueKind kind) {
    switch (kind) {
        case XPCValueKind::boolean:
            return "a boolean";
        case XPCValueKind::text:
            return "text";
        case XPCValueKind::textList:
            return "a list of texts";
        case XPCValueKind::data:
            return "data";
    }
    return "a value";
}

}  // namespace quorin
