#pragma once

#include "QuorinCore/Support/JSON.hpp"

#include <sys/stat.h>

#include <cstdint>

namespace quorin {

/// The identity of one version of a file, from its status record: device, inode, size and the
/// modification and status-change times to the nanosecond. Equal only when all seven agree.
struct ExecutionFileVersion {
    std::int64_t device;
    std::uint64_t inode;
    std::int64_t size;
    std::int64_t modifiedSeconds;
    std::int64_t modifiedNanoseconds;
    std::int64_t changedSeconds;
    std::int64_t changedNanoseconds;

    friend bool operator==(const ExecutionFileVersion&, const ExecutionFileVersion&) = default;

    Json toJSON() const;
    static ExecutionFileVersion fromJSON(const JSONValueDecoder& decoder);
};

/// The version of the file `status` describes. The device number keeps its bit pattern as a
/// signed 64-bit value, so the daemon, the exec reports and the client all form equal versions of
/// one file.
ExecutionFileVersion fileVersion(const struct stat& status);

}  // namespace quorin
