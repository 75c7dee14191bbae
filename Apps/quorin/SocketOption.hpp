#pragma once

// The option every command that talks to the daemon takes.

#include "quorin/DaemonConnection.hpp"

#include <CLI/CLI.hpp>

#include <string>

namespace quorin::cli {

/// Adds `--socket PATH` to `command`; `path` starts as the daemon's own socket.
inline void addSocketOption(CLI::App& command, std::string& path) {
    path = DaemonConnection::defaultSocketPath;
    command.add_option("--socket", path, "The daemon's service socket.")->capture_default_str();
}

}  // namespace quorin::cli
