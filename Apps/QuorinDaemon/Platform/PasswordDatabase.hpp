#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorin::daemon {

/// The system's user accounts, as far as the daemon needs them: a user's home directory.
class PasswordDatabase {
  public:
    virtual ~PasswordDatabase() = default;

    /// The home directory of `uid`; nothing when the lookup fails, the user has no entry, or the
    /// entry has no home directory.
    virtual std::optional<std::string> homeDirectory(std::uint32_t uid) const = 0;
};

}  // namespace quorin::daemon
