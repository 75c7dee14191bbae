#pragma once

#include "QuorinDaemon/Platform/Terminator.hpp"

namespace quorin::daemon::testing {

/// Thrown in place of exiting, so nothing after the exit runs.
struct Terminated {
    int code;
};

class RecordingTerminator final : public Terminator {
  public:
    [[noreturn]] void exit(int code) override { throw Terminated{code}; }
};

}  // namespace quorin::daemon::testing
