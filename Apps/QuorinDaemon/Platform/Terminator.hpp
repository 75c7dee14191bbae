#pragma once

namespace quorin::daemon {

/// Ends the daemon's process on a fatal start-up error, leaving the restart to the service
/// manager. The real one exits; a test double records the code and unwinds by throwing, so that
/// in both cases nothing after the call runs.
class Terminator {
  public:
    virtual ~Terminator() = default;
    [[noreturn]] virtual void exit(int code) = 0;
};

}  // namespace quorin::daemon
