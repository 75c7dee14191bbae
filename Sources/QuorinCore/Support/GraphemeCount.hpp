#pragma once

// Counting user-perceived characters in UTF-8 text.

#include <cstddef>
#include <string_view>

namespace quorin {

/// The number of extended grapheme clusters (user-perceived characters) in UTF-8 text, by the
/// Unicode text segmentation rules: "e" followed by a combining accent, a flag, or an emoji joined
/// by zero-width joiners each count as one, and so does CR LF. Ill-formed UTF-8 is measured as if
/// each maximal ill-formed subsequence were U+FFFD, so any bytes can be counted. Throws
/// `std::length_error` for text of 2 GiB or more and `std::runtime_error` when the Unicode
/// library cannot provide its segmentation rules.
std::size_t graphemeClusterCount(std::string_view utf8);

}  // namespace quorin
