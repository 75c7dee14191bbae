#pragma once

#include <string_view>

namespace quorin {

/// The version of the core library, shared by the client and the daemon.
struct QuorinCoreVersion {
    static constexpr std::string_view current = "0.1.0";
};

}  // namespace quorin
