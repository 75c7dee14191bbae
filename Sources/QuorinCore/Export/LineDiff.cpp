#include "QuorinCore/Export/LineDiff.hpp"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace quorin {

namespace {

using Line = LineDiff::Line;

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char character) { return static_cast<unsigned char>(character) < 0x80; });
}

bool isUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int64_t>(text.size());
    std::int64_t offset = 0;
    while (offset < length) {
        UChar32 scalar = 0;
        U8_NEXT(bytes, offset, length, scalar);
        if (scalar < 0) {
            return false;
        }
    }
    return true;
}

// The form under which lines are compared: canonically equivalent lines share one NFC text.
// Lines that are not UTF-8 stay as they are; they cannot equal any valid line.
std::string comparisonKey(std::string_view line) {
    if (isASCII(line) || !isUTF8(line) ||
        line.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return std::string(line);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(line.data(), static_cast<std::int32_t>(line.size())));
    icu::UnicodeString normalized;
    if (U_SUCCESS(status)) {
        normalized = nfc->normalize(unicode, status);
    }
    if (U_FAILURE(status)) {
        throw std::runtime_error("Could not normalize a line for comparison: " +
                                 std::string(u_errorName(status)));
    }
    std::string key;
    normalized.toUTF8String(key);
    return key;
}

// Every line as a small number, equal exactly when the lines are canonically equivalent, so the
// quadratic comparison compares integers.
struct NumberedLines {
    std::vector<std::uint32_t> old;
    std::vector<std::uint32_t> new_;
};

// A last line without its line feed differs from the same text with one: its key starts with
// another tag.
NumberedLines numbered(const std::vector<std::string_view>& oldLines,
                       const std::vector<std::string_view>& newLines,
                       LineDiff::FinalLineFeed oldEnd, LineDiff::FinalLineFeed newEnd) {
    std::unordered_map<std::string, std::uint32_t> numbers;
    auto numberAll = [&numbers](const std::vector<std::string_view>& lines,
                                LineDiff::FinalLineFeed end, std::vector<std::uint32_t>& into) {
        into.reserve(lines.size());
        for (std::size_t index = 0; index < lines.size(); ++index) {
            const bool unterminated =
                index + 1 == lines.size() && end == LineDiff::FinalLineFeed::missing;
            std::string key = (unterminated ? "U" : "T") + comparisonKey(lines[index]);
            into.push_back(
                numbers.try_emplace(std::move(key), static_cast<std::uint32_t>(numbers.size()))
                    .first->second);
        }
    };
    NumberedLines result;
    numberAll(oldLines, oldEnd, result.old);
    numberAll(newLines, newEnd, result.new_);
    return result;
}

}  // namespace

std::size_t LineDiff::Hunk::oldCount() const {
    return static_cast<std::size_t>(
        std::count_if(lines_.begin(), lines_.end(),
                      [](const Line& line) { return line.kind() != Line::Kind::added; }));
}

std::size_t LineDiff::Hunk::newCount() const {
    return static_cast<std::size_t>(
        std::count_if(lines_.begin(), lines_.end(),
                      [](const Line& line) { return line.kind() != Line::Kind::removed; }));
}

LineDiff::FinalLineFeed LineDiff::finalLineFeed(std::string_view text) {
    return text.empty() || text.back() == '\n' ? FinalLineFeed::present : FinalLineFeed::missing;
}

std::vector<std::string_view> LineDiff::lines(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '\n') {
            pieces.push_back(text.substr(start, index - start));
            start = index + 1;
        }
    }
    // The piece after the last line feed; dropped when empty, so a final line feed (or an empty
    // text) does not count as one more line.
    if (start < text.size()) {
        pieces.push_back(text.substr(start));
    }
    return pieces;
}

std::vector<LineDiff::Hunk> LineDiff::hunks(std::string_view from, std::string_view to,
                                            std::int64_t contextLines) {
    return hunks(lines(from), lines(to), contextLines, finalLineFeed(from), finalLineFeed(to));
}

std::vector<LineDiff::Hunk> LineDiff::hunks(const std::vector<std::string_view>& oldLines,
                                            const std::vector<std::string_view>& newLines,
                                            std::int64_t contextLines, FinalLineFeed oldEnd,
                                            FinalLineFeed newEnd) {
    const NumberedLines numbers = numbered(oldLines, newLines, oldEnd, newEnd);
    const std::size_t n = oldLines.size();
    const std::size_t m = newLines.size();
    const std::size_t width = m + 1;
    if (n + 1 > std::numeric_limits<std::size_t>::max() / sizeof(std::uint32_t) / width) {
        throw std::length_error("A diff of " + std::to_string(n) + " by " + std::to_string(m) +
                                " lines is too large");
    }

    // Longest-common-subsequence lengths of every pair of prefixes.
    std::vector<std::uint32_t> table((n + 1) * width, 0);
    auto at = [&table, width](std::size_t i, std::size_t j) -> std::uint32_t& {
        return table[i * width + j];
    };
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            at(i, j) = numbers.old[i - 1] == numbers.new_[j - 1]
                           ? at(i - 1, j - 1) + 1
                           : std::max(at(i - 1, j), at(i, j - 1));
        }
    }

    // Walking back from the end, ties go to additions, so once reversed a block of changes lists
    // its removed lines first.
    const auto oldLine = [&](std::size_t index) {
        return index + 1 < n || oldEnd == FinalLineFeed::present;
    };
    const auto newLine = [&](std::size_t index) {
        return index + 1 < m || newEnd == FinalLineFeed::present;
    };
    std::vector<Line> result;
    result.reserve(std::max(n, m));
    std::size_t i = n;
    std::size_t j = m;
    bool changed = false;
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && numbers.old[i - 1] == numbers.new_[j - 1]) {
            result.push_back(
                Line(Line::Kind::context, std::string(oldLines[i - 1]), oldLine(i - 1)));
            --i;
            --j;
        } else if (j > 0 && (i == 0 || at(i - 1, j) <= at(i, j - 1))) {
            result.push_back(Line(Line::Kind::added, std::string(newLines[j - 1]), newLine(j - 1)));
            --j;
            changed = true;
        } else {
            result.push_back(
                Line(Line::Kind::removed, std::string(oldLines[i - 1]), oldLine(i - 1)));
            --i;
            changed = true;
        }
    }
    if (!changed || contextLines < 0) {
        return {};
    }
    std::reverse(result.begin(), result.end());

    // Each change with its context; ranges that overlap or touch are merged. The changes are
    // visited in order, so the ranges arrive sorted by start.
    const std::size_t context = static_cast<std::size_t>(
        std::min<std::int64_t>(contextLines, static_cast<std::int64_t>(result.size())));
    const std::size_t last = result.size() - 1;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    for (std::size_t k = 0; k < result.size(); ++k) {
        if (result[k].kind() == Line::Kind::context) {
            continue;
        }
        const std::size_t start = k > context ? k - context : 0;
        const std::size_t end = std::min(k + context, last);
        if (!ranges.empty() && start <= ranges.back().second + 1) {
            ranges.back().second = std::max(ranges.back().second, end);
        } else {
            ranges.emplace_back(start, end);
        }
    }

    // Where each hunk starts in either text: the old and new lines of the result before it.
    std::vector<Hunk> hunks;
    hunks.reserve(ranges.size());
    std::size_t oldBefore = 0;
    std::size_t newBefore = 0;
    std::size_t counted = 0;
    for (const auto& [start, end] : ranges) {
        for (; counted < start; ++counted) {
            if (result[counted].kind() != Line::Kind::added) {
                ++oldBefore;
            }
            if (result[counted].kind() != Line::Kind::removed) {
                ++newBefore;
            }
        }
        hunks.push_back(
            Hunk(std::vector<Line>(result.begin() + static_cast<std::ptrdiff_t>(start),
                                   result.begin() + static_cast<std::ptrdiff_t>(end) + 1),
                 oldBefore, newBefore));
    }
    return hunks;
}

}  // namespace quorin
