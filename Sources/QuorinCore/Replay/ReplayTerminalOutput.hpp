#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace quorin {

/// Makes untrusted text (paths, process names, error messages that quote a fixture) safe to print
/// to a terminal. Control characters (Unicode general category Cc) and format characters (Cf) are
/// written as "\u{XXXX}": upper-case hexadecimal, at least four digits. A terminal therefore never
/// receives an escape sequence, a carriage return that overwrites a line, or a bidirectional
/// override that reorders what the reader sees. Every other character passes unchanged, so the
/// output is never shorter than the input. Bytes that are not UTF-8 become U+FFFD. Never fails.
struct ReplayTerminalOutput {
    ReplayTerminalOutput() = delete;

    /// The one-line form: line feeds are escaped too.
    static std::string sanitize(std::string_view text);

    /// Keeps line feeds (U+000A) and escapes everything else as `sanitize` does.
    static std::string sanitizeMultiline(std::string_view text);

    /// The error's description (`what()`) in the one-line form.
    static std::string sanitizedDescription(const std::exception& error);
};

}  // namespace quorin
