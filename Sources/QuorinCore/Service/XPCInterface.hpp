#pragma once

#include "QuorinCore/Service/XPCValue.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// One method of a service protocol: its selector, the kinds of its arguments and, when it has a
/// reply block, the kind of the value the block receives. The reply block is not an argument: it
/// is the `reply` kind, and a call to the method carries a request id instead.
struct XPCMethod {
    std::string selector;
    std::vector<XPCValueKind> arguments;
    std::optional<XPCValueKind> reply;

    friend bool operator==(const XPCMethod&, const XPCMethod&) = default;
};

/// The methods one side of a connection exports, in declaration order: what the other side may
/// call and what each call must carry. Selectors are unique, and each has one colon per argument,
/// the reply block included ("decideExecution:decision:reply:" takes two arguments and a reply).
class XPCInterface {
  public:
    /// Throws `std::invalid_argument` for a repeated selector or one whose colons do not count
    /// the method's arguments and reply block.
    explicit XPCInterface(std::vector<XPCMethod> methods);

    const std::vector<XPCMethod>& methods() const { return methods_; }

    /// The method with `selector`, or null.
    const XPCMethod* method(std::string_view selector) const;

    /// The method with `selector`, once `arguments` are checked to match its arguments in number
    /// and kind; throws `XPCProtocolError` saying which does not.
    const XPCMethod& methodAccepting(std::string_view selector,
                                     const std::vector<XPCValue>& arguments) const;

    friend bool operator==(const XPCInterface&, const XPCInterface&) = default;

  private:
    std::vector<XPCMethod> methods_;
};

}  // namespace quorin
