#pragma once

#include "QuorinDaemon/Platform/Terminator.hpp"

namespace quorin::daemon {

/// Exits the process with `std::exit`, so buffered log output is flushed first.
class ProcessTerminator final : public Terminator {
  public:
    [[noreturn]] void exit(int code) override;
};

}  // namespace quorin::daemon
