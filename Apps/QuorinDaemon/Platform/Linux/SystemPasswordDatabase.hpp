#pragma once

#include "QuorinDaemon/Platform/PasswordDatabase.hpp"

namespace quorin::daemon {

/// The password database through the reentrant `getpwuid_r`, into a zero-filled buffer of
/// 16,384 bytes.
class SystemPasswordDatabase final : public PasswordDatabase {
  public:
    std::optional<std::string> homeDirectory(std::uint32_t uid) const override;
};

}  // namespace quorin::daemon
