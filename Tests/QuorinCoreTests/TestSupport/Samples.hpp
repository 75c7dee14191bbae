#pragma once

// Small builders of sample values shared by the tests. Paths starting with "~" expand to /home/ana.

#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/FileMetadata.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::testing {

/// A version-4 UUID whose last group is `number` in decimal digits, so samples stay readable.
inline UUID numberedUUID(unsigned number) {
    const std::string digits = std::to_string(number);
    return uuid("00000000-0000-4000-8000-" + std::string(12 - digits.size(), '0') + digits);
}

inline NormalizedPath normalized(std::string_view path) {
    return NormalizedPath(path, "/home/ana");
}

inline std::vector<NormalizedPath> normalizedPaths(std::initializer_list<std::string_view> paths) {
    std::vector<NormalizedPath> result;
    for (const std::string_view path : paths) {
        result.push_back(normalized(path));
    }
    return result;
}

/// A protected path at `path` whose identity is told apart by `number`.
inline ProtectedPath protectedPath(std::string_view path, unsigned number, bool recursive = true,
                                   PathCategory category = PathCategory::custom) {
    return ProtectedPath{ProtectedPathID(numberedUUID(number)),
                         std::string(path),
                         normalized(path),
                         category,
                         recursive,
                         ContentHistoryPolicy::metadataOnly};
}

/// A file with no optional field set.
inline FileMetadata minimalFile() {
    return FileMetadata{
        FileObjectID(numberedUUID(2)), normalized("/"), 0, 0, 0, 0, {}, false, {}, {}, {}};
}

}  // namespace quorin::testing
