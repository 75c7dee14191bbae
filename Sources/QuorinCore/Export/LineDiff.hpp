#pragma once

#include "QuorinCore/Support/Enumeration.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// Line-based difference between two versions of a text, grouped into hunks with surrounding
/// context, for showing what a change to a protected file did. Texts are split at line feeds
/// (a carriage return directly before a line feed belongs with it, so CR LF does not split), and
/// lines are equal when they are canonically equivalent Unicode. Lines that are not UTF-8 are
/// compared byte for byte. Time and memory grow with the product of the two line counts; callers
/// decide which texts are small enough to compare.
struct LineDiff {
    LineDiff() = delete;

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

        friend bool operator==(const Line&, const Line&) = default;

      private:
        friend struct LineDiff;
        Line(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

        Kind kind_;
        std::string text_;
    };

    /// Consecutive lines of the result, changes with their context; no line numbers, no header.
    class Hunk {
      public:
        const std::vector<Line>& lines() const { return lines_; }

        friend bool operator==(const Hunk&, const Hunk&) = default;

      private:
        friend struct LineDiff;
        explicit Hunk(std::vector<Line> lines) : lines_(std::move(lines)) {}

        std::vector<Line> lines_;
    };

    /// The hunks that turn `from` into `to`, each change with up to `contextLines` unchanged lines
    /// on either side; hunks whose context would touch or overlap are one hunk. Within a block of
    /// changes removed lines come before added ones. Equal texts, or a negative `contextLines`,
    /// give no hunks. Throws `std::length_error` when the comparison table cannot be sized.
    static std::vector<Hunk> hunks(std::string_view from, std::string_view to,
                                   std::int64_t contextLines);

    /// The same between two texts already cut into lines, however the caller cut them: each piece
    /// is compared, and shown, as one line.
    static std::vector<Hunk> hunks(const std::vector<std::string_view>& from,
                                   const std::vector<std::string_view>& to,
                                   std::int64_t contextLines);

    /// The lines `hunks` cuts `text` into, without their line feeds (a final line feed ends the
    /// last line rather than starting an empty one), so a caller can bound the work before asking.
    static std::vector<std::string_view> lines(std::string_view text);
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
