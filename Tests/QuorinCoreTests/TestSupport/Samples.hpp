#pragma once

// Small builders of sample values shared by the tests.

#include "QuorinCore/Domain/ProtectedPath.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <string>
#include <string_view>

namespace quorin::testing {

/// A version-4 UUID whose last group is `number` in decimal digits, so samples stay readable.
inline UUID numberedUUID(unsigned number) {
    const std::string digits = std::to_string(number);
    return uuid("00000000-0000-4000-8000-" + std::string(12 - digits.size(), '0') + digits);
}

/// A protected path at `path` ("~" is /home/ana) whose identity is told apart by `number`.
inline ProtectedPath protectedPath(std::string_view path, unsigned number, bool recursive = true,
                                   PathCategory category = PathCategory::custom) {
    return ProtectedPath{
        .id = ProtectedPathID(numberedUUID(number)),
        .configuredPath = std::string(path),
        .normalizedPath = NormalizedPath(path, "/home/ana"),
        .category = category,
        .recursive = recursive,
        .contentPolicy = ContentHistoryPolicy::metadataOnly,
    };
}

}  // namespace quorin::testing
