#pragma once

#include "QuorinCore/Support/Enumeration.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// Line-based difference between two versions of a text, grouped into hunks with surrounding
/// context, for showing what a change to a protected file did. Texts are split after each line
/// feed (a carriage return stays in its line's text), and lines are equal when they are
/// canonically equivalent Unicode and both end with a line feed or both do not. Lines that are not
/// UTF-8 are compared byte for byte. Time and memory grow with the product of the two line counts;
/// callers decide which texts are small enough to compare.
struct LineDiff {
    LineDiff() = delete;

    /// Whether a text's last line ends with a line feed; only the last line of a text can lack one.
    enum class FinalLineFeed { present, missing };

    /// One line of a hunk, without its line feed.
    class Line {
      public:
        enum class Kind {
            context,  // in both texts
            added,    // only in the new text
            removed,  // only in the old text
        };

        Kind kind() const { return kind_; }
        const std::string& text() const { return text_; }
        /// False only for the last line of a text that does not end with a line feed.
        bool endsWithLineFeed() const { return endsWithLineFeed_; }

        friend bool operator==(const Line&, const Line&) = default;

      private:
        friend struct LineDiff;
        Line(Kind kind, std::string text, bool endsWithLineFeed)
            : kind_(kind), text_(std::move(text)), endsWithLineFeed_(endsWithLineFeed) {}

        Kind kind_;
        std::string text_;
        bool endsWithLineFeed_;
    };

    /// Consecutive lines of the result, changes with their context, and where they stand in each
    /// text.
    class Hunk {
      public:
        const std::vector<Line>& lines() const { return lines_; }
        /// How many lines of the old text, and of the new one, come before the hunk's first line.
        std::size_t oldLinesBefore() const { return oldLinesBefore_; }
        std::size_t newLinesBefore() const { return newLinesBefore_; }
        /// How many of the hunk's lines are in the old text (context and removed), and in the new
        /// one (context and added).
        std::size_t oldCount() const;
        std::size_t newCount() const;

        friend bool operator==(const Hunk&, const Hunk&) = default;

      private:
        friend struct LineDiff;
        Hunk(std::vector<Line> lines, std::size_t oldLinesBefore, std::size_t newLinesBefore)
            : lines_(std::move(lines)),
              oldLinesBefore_(oldLinesBefore),
              newLinesBefore_(newLinesBefore) {}

        std::vector<Line> lines_;
        std::size_t oldLinesBefore_;
        std::size_t newLinesBefore_;
    };

    /// The hunks that turn `from` into `to`, each change with up to `contextLines` unchanged lines
    /// on either side; hunks whose context would touch or overlap are one hunk. Within a block of
    /// changes removed lines come before added ones. Equal texts, or a negative `contextLines`,
    /// give no hunks. Throws `std::length_error` when the comparison table cannot be sized.
    static std::vector<Hunk> hunks(std::string_view from, std::string_view to,
                                   std::int64_t contextLines);

    /// The same between two texts already cut into lines, however the caller cut them: each piece
    /// is compared, and shown, as one line. `fromEnd` and `toEnd` tell whether each text's last
    /// line ends with a line feed.
    static std::vector<Hunk> hunks(const std::vector<std::string_view>& from,
                                   const std::vector<std::string_view>& to,
                                   std::int64_t contextLines,
                                   FinalLineFeed fromEnd = FinalLineFeed::present,
                                   FinalLineFeed toEnd = FinalLineFeed::present);

    /// The lines `hunks` cuts `text` into, without their line feeds (a final line feed ends the
    /// last line rather than starting an empty one), so a caller can bound the work before asking.
    static std::vector<std::string_view> lines(std::string_view text);

    /// Whether `text` ends with a line feed: missing for a text whose last line has none, present
    /// for an empty text, which has no last line.
    static FinalLineFeed finalLineFeed(std::string_view text);
};

template <>
struct EnumerationTexts<LineDiff::Line::Kind> {
    static constexpr std::string_view typeName = "LineDiff.Line.Kind";
    static constexpr std::array cases{
        std::pair{LineDiff::Line::Kind::context, std::string_view("context")},
        std::pair{LineDiff::Line::Kind::added, std::string_view("added")},
        std::pair{LineDiff::Line::Kind::removed, std::string_view("removed")},
    };
};

}  // namespace quorin
