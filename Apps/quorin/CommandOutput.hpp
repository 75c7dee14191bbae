#pragma once

// What every command does at its end: write its output whole, and turn any failure into one
// sanitized line on standard error and exit status 1.

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"

#include <exception>
#include <ostream>
#include <string>
#include <string_view>

namespace quorin::cli {

/// `text` as it may be written to a terminal: control and format characters escaped.
inline std::string safe(std::string_view text) {
    return ReplayTerminalOutput::sanitize(text);
}

/// Writes `text` to `out` and flushes it. Returns 0, or 1 after writing "Could not write " +
/// `what` on `err` when the output failed (a closed pipe, a full disk).
int written(std::ostream& out, std::ostream& err, std::string_view text, std::string_view what);

/// Runs `body`, which returns an exit status. An exception from it is reported on `err` as its
/// sanitized description, with status 1.
template <class Body>
int reportingFailures(std::ostream& err, Body&& body) {
    try {
        return body();
    } catch (const std::exception& error) {
        err << ReplayTerminalOutput::sanitizedDescription(error) << "\n";
        return 1;
    }
}

}  // namespace quorin::cli
