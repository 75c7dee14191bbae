// Arbitrary bytes as two versions of a text: the first byte picks the context (-2 to 13 lines),
// the rest is the old text, a NUL byte, then the new text. Pairs whose comparison table would be
// large are skipped, since the diff's cost is documented to grow with the product of the line
// counts. Checked beyond not failing: equal texts and negative context give no hunks; each hunk
// holds a change with at most `contextLines` unchanged lines at either end and at most twice that
// between two changes, removed lines before added ones; removed and added lines appear in order in
// the old and the new text, each hunk at the place it gives in both; only a last line lacks its
// line feed; and both texts keep the same number of unchanged lines.

#include "QuorinCore/Export/LineDiff.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Kind = quorin::LineDiff::Line::Kind;

constexpr std::size_t maximumTableCells = 40'000;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Lines end at each line feed; a final line feed ends the last line rather than starting an
// empty one.
std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '\n') {
            lines.push_back(text.substr(start, index - start));
            start = index + 1;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

// Walks one text's lines in order, so that the removed (or added) lines of all hunks can be
// checked to be a subsequence of it.
class Subsequence {
  public:
    explicit Subsequence(std::vector<std::string_view> lines) : lines_(std::move(lines)) {}

    void take(std::string_view line) {
        while (next_ < lines_.size() && lines_[next_] != line) {
            ++next_;
        }
        check(next_ < lines_.size());
        ++next_;
        ++taken_;
    }

    std::size_t untaken() const { return lines_.size() - taken_; }

  private:
    std::vector<std::string_view> lines_;
    std::size_t next_ = 0;
    std::size_t taken_ = 0;
};

void checkHunk(const quorin::LineDiff::Hunk& hunk, std::int64_t contextLines, Subsequence& removed,
               Subsequence& added) {
    const auto maximumRun = static_cast<std::size_t>(contextLines);
    std::size_t contextRun = 0;
    bool changed = false;
    bool addedInBlock = false;
    for (const quorin::LineDiff::Line& line : hunk.lines()) {
        check(line.text().find('\n') == std::string_view::npos);
        switch (line.kind()) {
            case Kind::context:
                ++contextRun;
                addedInBlock = false;
                break;
            case Kind::removed:
                check(!addedInBlock);
                check(contextRun <= (changed ? 2 * maximumRun : maximumRun));
                removed.take(line.text());
                contextRun = 0;
                changed = true;
                break;
            case Kind::added:
                check(contextRun <= (changed ? 2 * maximumRun : maximumRun));
                added.take(line.text());
                contextRun = 0;
                changed = true;
                addedInBlock = true;
                break;
        }
    }
    check(changed && contextRun <= maximumRun);
}

// The hunk's lines are the old text's from its first old line on (context and removed, as they
// are there) and the new text's from its first new line on (added), and only a text's last line
// can lack its line feed.
void checkPlace(const quorin::LineDiff::Hunk& hunk, const std::vector<std::string_view>& oldLines,
                bool oldEnds, const std::vector<std::string_view>& newLines, bool newEnds) {
    std::size_t oldIndex = hunk.oldLinesBefore();
    std::size_t newIndex = hunk.newLinesBefore();
    for (const quorin::LineDiff::Line& line : hunk.lines()) {
        if (line.kind() != Kind::added) {
            check(oldIndex < oldLines.size() && line.text() == oldLines[oldIndex]);
            check(line.endsWithLineFeed() == (oldIndex + 1 < oldLines.size() || oldEnds));
            ++oldIndex;
        }
        if (line.kind() != Kind::removed) {
            check(newIndex < newLines.size());
            check(line.kind() == Kind::context || line.text() == newLines[newIndex]);
            check(line.endsWithLineFeed() == (newIndex + 1 < newLines.size() || newEnds));
            ++newIndex;
        }
    }
    check(oldIndex - hunk.oldLinesBefore() == hunk.oldCount() &&
          newIndex - hunk.newLinesBefore() == hunk.newCount());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::int64_t contextLines = std::int64_t{data[0] % 16} - 2;
    const std::string_view texts(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t separator = texts.find('\0');
    const std::string_view from = texts.substr(0, separator);
    const std::string_view to =
        separator == std::string_view::npos ? std::string_view() : texts.substr(separator + 1);
    const std::size_t cells =
        (quorin::LineDiff::lines(from).size() + 1) * (quorin::LineDiff::lines(to).size() + 1);
    if (cells > maximumTableCells) {
        return 0;
    }

    const std::vector<quorin::LineDiff::Hunk> hunks =
        quorin::LineDiff::hunks(from, to, contextLines);
    if (from == to || contextLines < 0) {
        check(hunks.empty());
        return 0;
    }
    Subsequence removed(linesOf(from));
    Subsequence added(linesOf(to));
    const std::vector<std::string_view> oldLines = linesOf(from);
    const std::vector<std::string_view> newLines = linesOf(to);
    for (const quorin::LineDiff::Hunk& hunk : hunks) {
        checkHunk(hunk, contextLines, removed, added);
        checkPlace(hunk, oldLines, from.empty() || from.back() == '\n', newLines,
                   to.empty() || to.back() == '\n');
    }
    check(removed.untaken() == added.untaken());
    return 0;
}
