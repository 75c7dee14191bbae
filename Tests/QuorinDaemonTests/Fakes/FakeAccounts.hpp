#pragma once

// The accounts a test makes up: the users it gives a home, and the peers it admits. Both may be
// read from any thread while the test changes them.

#include "QuorinDaemon/Platform/PasswordDatabase.hpp"
#include "QuorinDaemon/Platform/PeerRequirement.hpp"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace quorin::daemon::testing {

/// Users have the homes the test gave them; other users have no entry.
class FakePasswordDatabase final : public PasswordDatabase {
  public:
    explicit FakePasswordDatabase(std::map<std::uint32_t, std::string> homes) : homes_(homes) {}
    std::optional<std::string> homeDirectory(std::uint32_t uid) const override {
        const std::lock_guard lock(mutex_);
        const auto found = homes_.find(uid);
        return found == homes_.end() ? std::nullopt : std::optional(found->second);
    }
    void add(std::uint32_t uid, std::string home) {
        const std::lock_guard lock(mutex_);
        homes_[uid] = home;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::string> homes_;
};

/// Admits every peer while `admit` holds, and remembers each (pid, requirement) it was asked.
class FakePeerRequirement final : public PeerRequirement {
  public:
    bool satisfies(pid_t pid, const std::string& requirement) const override {
        const std::lock_guard lock(mutex);
        asked.emplace_back(pid, requirement);
        return admit;
    }
    std::atomic<bool> admit{true};
    mutable std::mutex mutex;
    mutable std::vector<std::pair<pid_t, std::string>> asked;
};

}  // namespace quorin::daemon::testing
