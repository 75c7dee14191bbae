#pragma once

// The person's say on an operation that would let code run or weaken their protection: the
// system's authorization service asks them (on Linux polkit, through their authentication agent)
// whether the process that sent the request may perform the action in their name. Tests use a
// scripted fake.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorin::daemon {

/// A process as the authorization service identifies it: its pid and the time it started, so
/// that a process that later takes the same pid cannot borrow its authorization, and its user.
struct AuthorizationSubject {
    std::int32_t pid = 0;
    std::uint64_t startTime = 0;  // in clock ticks since boot, as /proc/<pid>/stat gives it
    std::uint32_t uid = 0;

    friend bool operator==(const AuthorizationSubject&, const AuthorizationSubject&) = default;
};

/// The actions the daemon asks about, as its policy file declares them: letting a held execution
/// run, weakening protection (turning it off, or dropping references), and erasing the execution
/// history.
inline constexpr std::string_view allowExecutionAction = "com.brenmoor.quorin.allow-execution";
inline constexpr std::string_view weakenProtectionAction = "com.brenmoor.quorin.weaken-protection";
inline constexpr std::string_view clearHistoryAction = "com.brenmoor.quorin.clear-history";

enum class AuthorizationAnswer {
    authorized,   // the person (or an administrator's rule) said yes
    refused,      // no, or the person dismissed the question
    unavailable,  // the service could not be asked: treated as a refusal, never as a yes
};

class Authority {
  public:
    virtual ~Authority() = default;

    /// Asks whether `subject` may perform `action` ("com.brenmoor.quorin.…"), letting the service
    /// ask the person. Never waits: `done` runs exactly once, later, on the authority's own
    /// thread (never inside this call), whatever the outcome.
    virtual void checkAuthorization(const AuthorizationSubject& subject, const std::string& action,
                                    std::function<void(AuthorizationAnswer)> done) = 0;
};

}  // namespace quorin::daemon
