#include "QuorinDaemon/Platform/Linux/ProcessTerminator.hpp"

#include <cstdlib>

namespace quorin::daemon {

void ProcessTerminator::exit(int code) {
    std::exit(code);
}

}  // namespace quorin::daemon
