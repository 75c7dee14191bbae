#pragma once

#include "QuorinDaemon/Platform/Authority.hpp"
#include "QuorinDaemon/Platform/Log.hpp"

#include <chrono>
#include <cstddef>
#include <memory>

namespace quorin::daemon {

/// The authority on Linux: polkit, asked over the system bus (the one DBUS_SYSTEM_BUS_ADDRESS
/// names, when set) with user interaction allowed, so the person's authentication agent asks
/// them. The client library runs on a GLib main loop on a thread of the authority's own: no loop
/// thread or exec reader ever waits on polkit, and every `done` runs there.
///
/// Yes is `authorized`; no, a challenge that was not met or a dismissed question is `refused`;
/// a failure to ask (no bus, no polkit service, an action the service does not know) is
/// `unavailable`, and each distinct failure is logged once under "authority". A check past the
/// number in flight, a check with no answer within its timeout (cancelled, since the service
/// never said no) and a check still in flight when the authority goes are `unavailable` too.
/// Losing the bus never ends the process: the next check connects again.
class PolkitAuthority final : public Authority {
  public:
    /// Checks that may wait for an answer at once; one past it is answered at once.
    static constexpr std::size_t maximumPendingChecks = 64;
    /// How long a check may wait for the person before it is cancelled. A held exec's own budget
    /// ends long before; the answer then only decides what later requests see.
    static constexpr std::chrono::milliseconds checkTimeout = std::chrono::seconds(60);
    /// Distinct failure messages remembered so each is logged once; past it a new one is logged
    /// each time it happens.
    static constexpr std::size_t maximumRememberedFailures = 16;

    explicit PolkitAuthority(std::shared_ptr<LogSink> logSink,
                             std::chrono::milliseconds timeout = checkTimeout);
    /// Answers every check still in flight `unavailable`, then stops the thread.
    ~PolkitAuthority() override;
    PolkitAuthority(const PolkitAuthority&) = delete;
    PolkitAuthority& operator=(const PolkitAuthority&) = delete;

    void checkAuthorization(const AuthorizationSubject& subject, const std::string& action,
                            std::function<void(AuthorizationAnswer)> done) override;

  private:
    struct Loop;  // the GLib side, kept out of this header
    std::unique_ptr<Loop> loop_;
};

}  // namespace quorin::daemon
