#pragma once

// Counting user-perceived characters in UTF-8 text.

#include <cstddef>
#include <memory>
#include <string_view>

namespace quorin {

/// Counts the extended grapheme clusters (user-perceived characters) in UTF-8 text, by the Unicode
/// text segmentation rules: "e" followed by a combining accent, a flag, or an emoji joined by
/// zero-width joiners each count as one, and so does CR LF. Ill-formed UTF-8 is measured as if
/// each maximal ill-formed subsequence were U+FFFD, so any bytes can be counted.
///
/// ASCII text is counted directly. For other text the counter makes one Unicode break iterator,
/// at the first such text, and reuses it for every later one. A break iterator is not safe to use
/// from two threads at once, and so neither is a counter: each thread or owner keeps its own.
class GraphemeCounter {
  public:
    GraphemeCounter();
    ~GraphemeCounter();
    GraphemeCounter(const GraphemeCounter&) = delete;
    GraphemeCounter& operator=(const GraphemeCounter&) = delete;

    /// Throws `std::length_error` for text of 2 GiB or more and `std::runtime_error` when the
    /// Unicode library cannot provide its segmentation rules.
    std::size_t count(std::string_view utf8);

  private:
    struct Segmenter;

    std::unique_ptr<Segmenter> segmenter_;  // made at the first text that is not ASCII
};

}  // namespace quorin
