#pragma once

#include "QuorinCore/Support/Enumeration.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace quorin {

/// The user's answer to a request; its text is its wire form, and no other text is a decision.
enum class ExecutionDecision { block, allowOnce, alwaysTrust };

template <>
struct EnumerationTexts<ExecutionDecision> {
    static constexpr std::string_view typeName = "ExecutionDecision";
    static constexpr std::array cases{
        std::pair{ExecutionDecision::block, std::string_view("block")},
        std::pair{ExecutionDecision::allowOnce, std::string_view("allowOnce")},
        std::pair{ExecutionDecision::alwaysTrust, std::string_view("alwaysTrust")},
    };
};

}  // namespace quorin
