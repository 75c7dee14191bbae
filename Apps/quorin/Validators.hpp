#pragma once

// Checks for the client's numeric options, with messages that say what is allowed.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

namespace quorin::cli {

/// Accepts a whole number of at least `minimum`.
inline CLI::Validator atLeast(std::int64_t minimum) {
    return CLI::Validator(
        [minimum](std::string& text) -> std::string {
            std::int64_t value = 0;
            if (!CLI::detail::lexical_cast(text, value) || value < minimum) {
                return "must be a whole number of at least " + std::to_string(minimum) + ", not " +
                       text;
            }
            return "";
        },
        "INT>=" + std::to_string(minimum));
}

}  // namespace quorin::cli
