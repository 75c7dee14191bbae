#pragma once

#include <cstdint>

namespace quorin {

/// Fixed bounds on what a replay fixture may hold, enforced while reading and validating it.
struct ReplayFixtureLimits {
    ReplayFixtureLimits() = delete;

    static constexpr std::int64_t maximumDataBytes = 10'485'760;
    static constexpr std::int64_t maximumProtectedPaths = 1'000;
    static constexpr std::int64_t maximumProcesses = 10'000;
    static constexpr std::int64_t maximumEvents = 100'000;
    static constexpr std::int64_t maximumReferencesPerEvent = 1'000;
    static constexpr std::int64_t maximumStringUTF8Bytes = 16'384;
    static constexpr std::int64_t maximumJSONNestingDepth = 256;
    static constexpr std::int64_t maximumJSONObjectMembers = 100'000;
    static constexpr std::int64_t maximumJSONValues = 250'000;
};

}  // namespace quorin
