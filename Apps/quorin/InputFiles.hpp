#pragma once

// Reading the texts the client's commands work on, whole and bounded, with errors that name the
// input.

#include <cstddef>
#include <string>

namespace quorin::cli {

/// The most any one input may hold: the commands keep inputs in memory, several times over.
inline constexpr std::size_t maximumInputBytes = 64 * 1024 * 1024;

/// The whole content of the file at `path` (a regular file, a pipe or a device; not a
/// directory). Throws `std::runtime_error` saying which file could not be read and why, or that
/// it is larger than `maximumInputBytes`.
std::string readInputFile(const std::string& path);

/// Everything on standard input, read and bounded the same way.
std::string readStandardInput();

}  // namespace quorin::cli
