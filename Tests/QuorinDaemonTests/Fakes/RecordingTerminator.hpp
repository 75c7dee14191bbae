#pragma once

#include "QuorinDaemon/Platform/Terminator.hpp"

#include <optional>

namespace quorin::daemon::testing {

/// Thrown in place of exiting, so nothing after the exit runs.
struct Terminated {
    int code;
};

/// Records the exit code, then throws `Terminated`.
class RecordingTerminator final : public Terminator {
  public:
    [[noreturn]] void exit(int code) override {
        code_ = code;
        throw Terminated{code};
    }

    std::optional<int> code() const { return code_; }

  private:
    std::optional<int> code_;
};

}  // namespace quorin::daemon::testing
