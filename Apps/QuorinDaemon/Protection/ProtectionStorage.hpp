#pragma once

#include "QuorinDaemon/Protection/User.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorin::daemon {

/// The users' protection records on disk: one file "<uid>.json" per user in a directory that only
/// the daemon's user may use (created 0700 when missing; refused when it is a link, owned by
/// someone else or open to group or others). A save writes a temporary file "." + UUID, syncs it,
/// renames it over the user file and syncs the directory, so a reader sees the whole old file or
/// the whole new one. A load refuses a user file that is a link, has another link, belongs to
/// someone else, is open to group or others, or is larger than 16 MiB.
///
/// Not synchronized: the controller runs every save and load on its one serial work queue.
class ProtectionStorage {
  public:
    static constexpr std::size_t maximumFileBytes = 16 * 1024 * 1024;
    static constexpr std::size_t readChunkBytes = 64 * 1024;

    explicit ProtectionStorage(std::string directory) : directory_(std::move(directory)) {}

    /// Throws `ProtectionError` (`capacity` when the encoding exceeds 16 MiB, else `storage`).
    void save(const User& user, std::uint32_t uid) const;

    /// The stored user, or the default user when there is no file. Throws `ProtectionError` or,
    /// for a file that reads but does not decode, `DecodingError`.
    User load(std::uint32_t uid) const;

    const std::string& directory() const { return directory_; }

  private:
    std::string directory_;
};

}  // namespace quorin::daemon
