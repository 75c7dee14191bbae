#pragma once

// What every command does at its end: write its output whole, and turn any failure into one
// sanitized line on standard error and exit status 1.

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"

#include <CLI/CLI.hpp>

#include <exception>
#include <ostream>
#include <string>
#include <string_view>

namespace quorin::cli {

/// `text` as it may be written to a terminal: control and format characters escaped.
inline std::string safe(std::string_view text) {
    return ReplayTerminalOutput::sanitize(text);
}

/// When a command colours its output: `--color=never|always|auto`.
enum class ColorChoice { never, always, automatic };

/// Adds `--color=WHEN` to `command`, storing the choice in `choice` (default auto).
void addColorOption(CLI::App& command, ColorChoice& choice);

/// Whether output is coloured: always, never, or in auto mode when it goes to a terminal and
/// `noColor` (the NO_COLOR environment variable, null when unset) is unset or empty.
bool colorsOutput(ColorChoice choice, bool outputIsTerminal, const char* noColor);

/// Whether standard output is a terminal.
bool standardOutputIsTerminal();

/// The terminal's select-graphic-rendition styles a command colours with.
namespace style {
inline constexpr std::string_view bold = "\x1B[1m";
inline constexpr std::string_view red = "\x1B[31m";
inline constexpr std::string_view green = "\x1B[32m";
inline constexpr std::string_view cyan = "\x1B[36m";
inline constexpr std::string_view reset = "\x1B[0m";
}  // namespace style

/// `text` in `sgr` followed by a reset when `color`, else `text` as it is.
std::string styled(std::string_view text, std::string_view sgr, bool color);

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
