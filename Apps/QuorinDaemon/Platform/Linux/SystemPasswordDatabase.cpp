#include "QuorinDaemon/Platform/Linux/SystemPasswordDatabase.hpp"

#include <pwd.h>

#include <vector>

namespace quorin::daemon {

std::optional<std::string> SystemPasswordDatabase::homeDirectory(std::uint32_t uid) const {
    std::vector<char> buffer(16'384, '\0');
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
        return std::nullopt;
    }
    return std::string(found->pw_dir);
}

}  // namespace quorin::daemon
