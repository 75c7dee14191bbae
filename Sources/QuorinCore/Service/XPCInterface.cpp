#include "QuorinCore/Service/XPCInterface.hpp"

#include "QuorinCore/Service/XPCProtocolError.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace quorin {

XPCInterface::XPCInterface(std::vector<XPCMethod> methods) : methods_(std::move(methods)) {
    std::set<std::string_view> selectors;
    for (const XPCMethod& entry : methods_) {
        if (!selectors.insert(entry.selector).second) {
            throw std::invalid_argument("The selector " + entry.selector +
                                        " is declared twice in one interface.");
        }
        const auto colons =
            static_cast<std::size_t>(std::count(entry.selector.begin(), entry.selector.end(), ':'));
        const std::size_t parts = entry.arguments.size() + (entry.reply ? 1 : 0);
        if (colons != parts) {
            throw std::invalid_argument(
                "The selector " + entry.selector + " has " + std::to_string(colons) +
                " colons, not one per argument and reply block (" + std::to_string(parts) + ").");
        }
    }
}

const XPCMethod* XPCInterface::method(std::string_view selector) const {
    const auto found =
        std::find_if(methods_.begin(), methods_.end(),
                     [selector](const XPCMethod& entry) { return entry.selector == selector; });
    return found == methods_.end() ? nullptr : &*found;
}

const XPCMethod& XPCInterface::methodAccepting(std::string_view selector,
                                               const std::vector<XPCValue>& arguments) const {
    const XPCMethod* found = method(selector);
    if (found == nullptr) {
        throw XPCProtocolError::unknownMethod(selector);
    }
    if (arguments.size() != found->arguments.size()) {
        throw XPCProtocolError::argumentCount(selector, found->arguments.size(), arguments.size());
    }
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        if (kindOf(arguments[index]) != found->arguments[index]) {
            throw XPCProtocolError::argumentKind(selector, index, found->arguments[index]);
        }
    }
    return *found;
}

}  // namespace quorin
